#pragma once

class RuntimeError;

// Shows an unhandled failure to the user. Ending the program afterwards is the
// caller's business, so tests can watch both.
class ErrorReport
{
public:
    virtual ~ErrorReport() = default;
    virtual void report(const RuntimeError &error) = 0;
};
