#pragma once

#include <QString>

// Message boxes, identified by their flag sums: 64 information, 48 warning,
// 32 question, plus 4 for Yes and No buttons (a single OK button otherwise).
namespace PromptFlags {
inline constexpr int YesNo = 4;
inline constexpr int Question = 32;
inline constexpr int Warning = 48;
inline constexpr int Information = 64;
}

namespace PromptAnswer {
inline constexpr int Ok = 1;
inline constexpr int Yes = 6;
inline constexpr int No = 7;
}

class Prompt
{
public:
    virtual ~Prompt() = default;
    // Shows a modal box and returns the button pressed (PromptAnswer).
    virtual int ask(const QString &text, int flags, const QString &title) = 0;
};
