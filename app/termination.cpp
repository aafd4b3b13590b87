#include "termination.h"

#include "form1.h"
#include "linux_termination_signals.h"
#include "program_end.h"

void endOnTerminationSignals(LinuxTerminationSignals &caught, const QPointer<Form1> &window,
                             ProgramEnd &programEnd)
{
    QObject::connect(&caught, &LinuxTerminationSignals::received, &caught,
                     [&window, &programEnd](int signalNumber) {
                         if (window && !window->hasEnded()) {
                             window->endBySignal(signalNumber);
                         } else {
                             programEnd.end(128 + signalNumber);
                         }
                     });
}
