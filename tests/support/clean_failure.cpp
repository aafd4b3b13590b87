#include "clean_failure.h"

#include "target_file.h"
#include "test_files.h"
#include "test_window.h"

#include <QTest>

void expectCleanFailure(const TestWindow &window, const CleanFailure &expected)
{
    const TestPlatform &platform = window.platform;
    QCOMPARE(platform.programEnd.ends, 1);
    QCOMPARE(platform.programEnd.exitCode, 1);
    QCOMPARE(platform.errorReport.reports.size(), 1);
    const QString description = platform.errorReport.lastDescription();
    for (const QString &part : expected.said) {
        QVERIFY2(description.contains(part, Qt::CaseInsensitive), qPrintable(description));
    }
    if (!expected.kept.contains(expected.target)) {
        QVERIFY2(nothingAt(expected.target), qPrintable(expected.target));
    }
    QVERIFY(nothingAt(TargetFile::partPath(expected.target)));
    for (auto kept = expected.kept.cbegin(); kept != expected.kept.cend(); ++kept) {
        QVERIFY2(readAll(kept.key()) == kept.value(), qPrintable(kept.key()));
    }
    QVERIFY(platform.prompt.asked.size() <= expected.questions);
    QVERIFY(platform.shell.started.isEmpty());
}
