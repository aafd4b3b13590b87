#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <unistd.h>

// A small tmpfs mounted over a folder while this lives: a volume that fills up
// or turns read-only on command. Only root can mount one; failure() says why
// it did not mount.
class SmallTmpfs
{
public:
    // size as mount's "size=" option takes it: "64k", "1m".
    explicit SmallTmpfs(const QString &folder, const QString &size = QStringLiteral("64k"))
        : m_folder(folder)
    {
        if (::geteuid() != 0) {
            m_failure = QStringLiteral("mounting a tmpfs needs root");
            return;
        }
        m_failure = run(QStringLiteral("mount"),
                        {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                         QStringLiteral("size=") + size, QStringLiteral("tmpfs"), folder});
    }
    ~SmallTmpfs()
    {
        if (mounted()) {
            run(QStringLiteral("umount"), {QStringLiteral("-l"), m_folder});
        }
    }
    SmallTmpfs(const SmallTmpfs &) = delete;
    SmallTmpfs &operator=(const SmallTmpfs &) = delete;

    bool mounted() const { return m_failure.isEmpty(); }
    QString failure() const { return m_failure; }
    bool makeReadOnly()
    {
        return run(QStringLiteral("mount"),
                   {QStringLiteral("-o"), QStringLiteral("remount,ro"), m_folder})
            .isEmpty();
    }

private:
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
