#include "minisign_tool.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>

namespace {

QString program()
{
    return QStandardPaths::findExecutable(QStringLiteral("minisign"));
}

bool run(const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program(), arguments);
    process.closeWriteChannel();
    return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

bool MinisignTool::available()
{
    return !program().isEmpty();
}

MinisignTool::MinisignTool(const QString &folder) : m_folder(folder) {}

QString MinisignTool::makeKey(const QString &name)
{
    const QDir dir(m_folder);
    const QString pub = dir.filePath(name + QStringLiteral(".pub"));
    // -W: no password, so that nothing waits for one.
    if (!run({QStringLiteral("-G"), QStringLiteral("-f"), QStringLiteral("-W"),
              QStringLiteral("-p"), pub, QStringLiteral("-s"),
              dir.filePath(name + QStringLiteral(".key"))})) {
        return {};
    }
    // The second line of a .pub file is the key.
    return QString::fromLatin1(readFile(pub).split('\n').value(1).trimmed());
}

QString MinisignTool::printedKeyId(const QString &name) const
{
    const QByteArray prefix = "untrusted comment: minisign public key ";
    const QByteArray comment =
        readFile(QDir(m_folder).filePath(name + QStringLiteral(".pub"))).split('\n').value(0);
    return comment.startsWith(prefix) ? QString::fromLatin1(comment.mid(prefix.size())) : QString();
}

QByteArray MinisignTool::withLine(const QByteArray &signature, int index, const QByteArray &line)
{
    QList<QByteArray> lines = signature.split('\n');
    lines[index] = line;
    return lines.join('\n');
}

QByteArray MinisignTool::sign(const QByteArray &content, const QString &name,
                              const MinisignSigning &how)
{
    const QDir dir(m_folder);
    const QString file = dir.filePath(how.fileName);
    const QString signature = file + QStringLiteral(".minisig");
    QFile::remove(signature);
    QFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(content) != content.size()) {
        return {};
    }
    out.close();
    QStringList arguments{QStringLiteral("-S"),
                          QStringLiteral("-s"),
                          dir.filePath(name + QStringLiteral(".key")),
                          QStringLiteral("-m"),
                          file,
                          QStringLiteral("-x"),
                          signature};
    if (how.legacy) {
        arguments.append(QStringLiteral("-l"));
    }
    if (!how.trustedComment.isEmpty()) {
        arguments << QStringLiteral("-t") << QString::fromUtf8(how.trustedComment);
    }
    return run(arguments) ? readFile(signature) : QByteArray();
}
