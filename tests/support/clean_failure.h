#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

class TestWindow;

// What a download that failed cleanly leaves: one report saying all of said
// (in any case), the program ended with 1, no file at target and no .part
// beside it, every file in kept as it was, no more than questions asked, and
// nothing started.
struct CleanFailure
{
    QString target;
    QStringList said;
    // Files that must hold these bytes still; target too, when it is among them.
    QHash<QString, QByteArray> kept = {};
    int questions = 0;
};

// Fails the running test when the window's download did not fail so; the
// caller returns when QTest::currentTestFailed() says it did.
void expectCleanFailure(const TestWindow &window, const CleanFailure &expected);
