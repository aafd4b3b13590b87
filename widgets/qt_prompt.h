#pragma once

#include "error_report.h"
#include "prompt.h"

#include <QPointer>
#include <QWidget>

// What the boxes below share: the window they stand over, which asks for the
// user's attention when a box appears while the user is in another program.
class BoxOwner
{
public:
    void setWindow(QWidget *window) { m_window = window; }

protected:
    // The window, else the active one (none while the user is elsewhere).
    QWidget *owner() const;
    void askAttention() const;

private:
    QPointer<QWidget> m_window;
};

// Message boxes on screen.
class QtPrompt final : public Prompt, public BoxOwner
{
public:
    int ask(const QString &text, int flags, const QString &title) override;
};

// The error report as a message box naming the error's number and description.
class QtErrorReport final : public ErrorReport, public BoxOwner
{
public:
    void report(const RuntimeError &error) override;
};
