#pragma once

// Ends the program. The real one stops the process at once; a test double only
// records that it was asked to, and the caller must return straight away.
class ProgramEnd
{
public:
    virtual ~ProgramEnd() = default;
    virtual void end(int exitCode) = 0;
};
