#include "termination.h"

#include "form1.h"
#include "program_end.h"

std::function<void(int)> terminationHandler(const QPointer<Form1> &window, ProgramEnd &programEnd)
{
    return [&window, &programEnd](int signalNumber) {
        if (window && !window->hasEnded()) {
            window->endBySignal(signalNumber);
        } else {
            programEnd.end(128 + signalNumber);
        }
    };
}
