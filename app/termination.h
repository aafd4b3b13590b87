#pragma once

#include <QPointer>

#include <functional>

class Form1;
class ProgramEnd;

// What a termination signal does: the window ends the program as a cancel
// does; with no window yet, or one that has ended, the program ends at once.
// Either way the status is 128 plus the signal's number. window and programEnd
// must outlive the handler.
std::function<void(int)> terminationHandler(const QPointer<Form1> &window, ProgramEnd &programEnd);
