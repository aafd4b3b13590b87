#pragma once

#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

#include <unistd.h>

// A volume mounted over a folder while this lives, for the rows that need a
// volume of another kind. Only root can mount; failure() says why it did not
// mount.
class TestMount
{
public:
    ~TestMount()
    {
        if (mounted()) {
            run(QStringLiteral("umount"), {QStringLiteral("-l"), m_folder});
        }
    }
    TestMount(const TestMount &) = delete;
    TestMount &operator=(const TestMount &) = delete;

    bool mounted() const { return m_failure.isEmpty(); }
    QString failure() const { return m_failure; }

protected:
    TestMount(const QString &folder, const QString &program, const QStringList &arguments)
        : m_folder(folder)
    {
        if (::geteuid() != 0) {
            m_failure = QStringLiteral("mounting needs root");
        } else if (QStandardPaths::findExecutable(program).isEmpty()) {
            m_failure = program + QStringLiteral(" is not installed");
        } else {
            m_failure = run(program, arguments);
        }
    }

    // Empty when program succeeded; else what it said.
    static QString run(const QString &program, const QStringList &arguments)
    {
        QProcess process;
        process.start(program, arguments);
        if (process.waitForFinished() && process.exitStatus() == QProcess::NormalExit &&
            process.exitCode() == 0) {
            return {};
        }
        const QString said = QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
        return said.isEmpty() ? program + QStringLiteral(" failed") : said;
    }

    QString m_folder;
    QString m_failure;
};

// A small tmpfs: a volume that fills up or turns read-only on command.
class SmallTmpfs final : public TestMount
{
public:
    // size as mount's "size=" option takes it: "64k", "1m".
    explicit SmallTmpfs(const QString &folder, const QString &size = QStringLiteral("64k"))
        : TestMount(folder, QStringLiteral("mount"),
                    {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                     QStringLiteral("size=") + size, QStringLiteral("tmpfs"), folder})
    {
    }
    bool makeReadOnly()
    {
        return run(QStringLiteral("mount"),
                   {QStringLiteral("-o"), QStringLiteral("remount,ro"), m_folder})
            .isEmpty();
    }
};

// source seen at folder through FUSE (bindfs): a volume whose owners and modes,
// as on FAT, tell nothing of who may write, and whose files anyone can still
// change through source.
class FuseMirror final : public TestMount
{
public:
    // options: bindfs's own, such as "--xattr-none" for a volume without
    // extended attributes.
    FuseMirror(const QString &source, const QString &folder, const QStringList &options = {})
        : TestMount(folder, QStringLiteral("bindfs"), options + QStringList{source, folder})
    {
    }
};
