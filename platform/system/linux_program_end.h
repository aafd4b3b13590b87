#pragma once

#include "program_end.h"

// Stops the process at once: no window is closed and no handler runs again.
// Callers close their own files first.
class LinuxProgramEnd final : public ProgramEnd
{
public:
    [[noreturn]] void end(int exitCode) override;
};
