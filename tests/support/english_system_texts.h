#pragma once

#include <clocale>
#include <cstdlib>

// The system's reasons for a failure ("No space left on device") in English,
// whatever locale the tests run under, for the tests that compare them: Qt 6.4
// spells a few reasons itself, every other one comes from the C library in the
// user's language. Called from initTestCase, it replaces the locale
// QCoreApplication took from the environment, for this process and the
// programs it starts. LANGUAGE goes too: gettext heeds it under C.UTF-8.
inline void useEnglishSystemTexts()
{
    ::unsetenv("LANGUAGE");
    ::setenv("LC_ALL", "C.UTF-8", 1);
    if (!std::setlocale(LC_ALL, "C.UTF-8")) {
        ::setenv("LC_ALL", "C", 1);
        std::setlocale(LC_ALL, "C");
    }
}
