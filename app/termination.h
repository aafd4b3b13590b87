#pragma once

#include <QPointer>

class Form1;
class LinuxTerminationSignals;
class ProgramEnd;

// Hands each termination signal to the window, which ends the program as a
// cancel does; with no window yet, or one that has ended, ends it at once.
// Either way the status is 128 plus the signal's number. window must outlive
// caught.
void endOnTerminationSignals(LinuxTerminationSignals &caught, const QPointer<Form1> &window,
                             ProgramEnd &programEnd);
