#pragma once

#include <QByteArray>
#include <QString>

// How MinisignTool signs: as the vendor does unless a test says otherwise.
struct MinisignSigning
{
    // The older kind, over the content itself rather than its hash.
    bool legacy = false;
    // minisign's own ("timestamp:...<tab>file:FILE") when empty.
    QByteArray trustedComment;
    // The name the content is signed under, which minisign's own trusted
    // comment names.
    QString fileName = QStringLiteral("manifest.txt");
};

// Keys and signatures made by the real minisign tool, as the vendor makes
// them, in a folder of the test's own.
class MinisignTool
{
public:
    // False when minisign is not installed; tests then skip with a message.
    static bool available();

    explicit MinisignTool(const QString &folder);

    // Makes a key pair called name and returns its public key line ("RW..."),
    // empty on failure.
    QString makeKey(const QString &name);

    // The key's ID as minisign prints it in the .pub file's comment.
    QString printedKeyId(const QString &name) const;

    // The signature file for content signed with key name, empty on failure.
    QByteArray sign(const QByteArray &content, const QString &name,
                    const MinisignSigning &how = {});

    // A signature file with one of its lines (0 to 3) replaced, as a forger would.
    static QByteArray withLine(const QByteArray &signature, int index, const QByteArray &line);

private:
    QString m_folder;
};
