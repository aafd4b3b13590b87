#pragma once

#include "error_report.h"
#include "prompt.h"

// Message boxes on screen.
class QtPrompt final : public Prompt
{
public:
    int ask(const QString &text, int flags, const QString &title) override;
};

// The error report as a message box naming the error's number and description.
class QtErrorReport final : public ErrorReport
{
public:
    void report(const RuntimeError &error) override;
};
