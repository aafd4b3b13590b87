#include "manifest_signature_policy.h"
#include "minisign.h"
#include "minisign_tool.h"

#include <QTemporaryDir>
#include <QTest>

#include <limits>

using Minisign::PublicKey;
using Minisign::Verdict;
using Keys = QList<PublicKey>;
Q_DECLARE_METATYPE(Minisign::PublicKey)
Q_DECLARE_METATYPE(Minisign::Verdict)

namespace {

// Two keys made by minisign 0.11; the second one's ID starts with a zero byte.
const QString FirstKey = QStringLiteral("RWRN3KCT6NL4VE4YA2KtQ/8aQexs0oAfgPZ0BFhlLok4qaJIsH5rkZOw");
const QString SecondKey =
    QStringLiteral("RWTaj+X9DqKIABf2CJ29mQjYQPdIfUeeVDcaiwB8JY3HAq+PUCHjbSYs");

// "Now" for the signature's age: 2026-09-21 14:13:20 UTC.
constexpr qint64 Now = 1790000000;

// What the key line holds, read with Qt's decoder rather than the one under test.
PublicKey expectedKey(const QString &line)
{
    const QByteArray bytes = QByteArray::fromBase64(line.toLatin1());
    return {bytes.mid(2, 8), bytes.mid(10)};
}

} // namespace

class TestMinisign final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void verify_data();
    void verify();
    void publicKeys_data();
    void publicKeys();
    void keyIdText_data();
    void keyIdText();
    void signatureFit_data();
    void signatureFit();

private:
    struct KeyPair
    {
        QString name;
        QString publicLine;
        QString printedId; // as minisign prints it in the .pub file
        PublicKey key;
    };
    void makeKey(const QString &name, KeyPair *pair);

    QTemporaryDir m_dir;
    MinisignTool m_tool{m_dir.path()};
    const QByteArray m_content = "W2003\torbistane-2.1.sh\tOrbistane 2.1\n";
    const QByteArray m_comment = "timestamp:1700000000\tfile:manifest.txt\trelease 2.1";
    KeyPair m_first;
    KeyPair m_second;
    KeyPair m_stranger;
    QByteArray m_prehashed;
    QByteArray m_legacy;
    QByteArray m_bySecond;
    QByteArray m_byStranger;
};

void TestMinisign::makeKey(const QString &name, KeyPair *pair)
{
    pair->name = name;
    pair->publicLine = m_tool.makeKey(name);
    QVERIFY(!pair->publicLine.isEmpty());
    pair->printedId = m_tool.printedKeyId(name);
    QVERIFY(!pair->printedId.isEmpty());
    pair->key = expectedKey(pair->publicLine);
}

void TestMinisign::initTestCase()
{
    QVERIFY(m_dir.isValid());
    if (!MinisignTool::available()) {
        return; // the tests that need it skip themselves
    }
    makeKey("first", &m_first);
    makeKey("second", &m_second);
    makeKey("stranger", &m_stranger);
    MinisignSigning commented;
    commented.trustedComment = m_comment;
    m_prehashed = m_tool.sign(m_content, "first", commented);
    m_bySecond = m_tool.sign(m_content, "second", commented);
    m_byStranger = m_tool.sign(m_content, "stranger", commented);
    commented.legacy = true;
    m_legacy = m_tool.sign(m_content, "first", commented);
    for (const QByteArray *signature : {&m_prehashed, &m_legacy, &m_bySecond, &m_byStranger}) {
        QVERIFY(!signature->isEmpty());
    }
}

void TestMinisign::verify_data()
{
    // clang-format off
    if (!MinisignTool::available()) {
        QSKIP("minisign is not on PATH (Debian package minisign): no signatures to verify");
    }
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("signature");
    QTest::addColumn<Keys>("keys");
    QTest::addColumn<Verdict>("verdict");
    QTest::addColumn<QStringList>("phrases"); // each must be in the description

    const Keys first{m_first.key};
    const QByteArray line2 = m_prehashed.split('\n').at(1);
    QByteArray changed = m_content;
    changed[7] = 'R';

    QTest::newRow("prehashed") << m_content << m_prehashed << first << Verdict::Valid
                               << QStringList();
    QTest::newRow("legacy") << m_content << m_legacy << first << Verdict::Valid << QStringList();
    QVERIFY(m_prehashed.endsWith('\n'));
    QTest::newRow("no line feed after the global signature")
        << m_content << m_prehashed.chopped(1) << first << Verdict::Valid << QStringList();
    QTest::newRow("CRLF line ends") << m_content << QByteArray(m_prehashed).replace("\n", "\r\n")
                                    << first << Verdict::Valid << QStringList();
    QTest::newRow("signed by the second trusted key")
        << m_content << m_bySecond << Keys{m_first.key, m_second.key} << Verdict::Valid
        << QStringList();

    QTest::newRow("prehashed, one byte changed")
        << changed << m_prehashed << first << Verdict::ContentChanged
        << QStringList{"changed after it was signed"};
    QTest::newRow("legacy, one byte changed")
        << changed << m_legacy << first << Verdict::ContentChanged
        << QStringList{"changed after it was signed"};
    QTest::newRow("trusted comment edited")
        << m_content
        << MinisignTool::withLine(m_prehashed, 2, "trusted comment: " + m_comment + " (final)")
        << first << Verdict::TrustedCommentChanged << QStringList{"trusted comment"};

    QTest::newRow("signed by another key")
        << m_content << m_byStranger << Keys{m_first.key, m_second.key} << Verdict::UnknownKey
        << QStringList{m_stranger.printedId, m_first.printedId, m_second.printedId};
    QTest::newRow("no trusted key") << m_content << m_prehashed << Keys() << Verdict::UnknownKey
                                    << QStringList{m_first.printedId};

    QTest::newRow("empty file") << m_content << QByteArray() << first << Verdict::Malformed
                                << QStringList{"malformed", "empty"};
    QTest::newRow("cut in the middle of line 2")
        << m_content << m_prehashed.left(m_prehashed.indexOf('\n') + 1 + 40) << first
        << Verdict::Malformed << QStringList{"line 2"};
    QTest::newRow("cut after line 3")
        << m_content << m_prehashed.left(m_prehashed.lastIndexOf('\n', -2) + 1) << first
        << Verdict::Malformed << QStringList{"line 3"};
    QTest::newRow("no untrusted comment line")
        << m_content << m_prehashed.mid(m_prehashed.indexOf('\n') + 1) << first
        << Verdict::Malformed << QStringList{"line 1"};
    QTest::newRow("line 2 not base64")
        << m_content
        << MinisignTool::withLine(m_prehashed, 1, QByteArray(line2).replace(20, 1, "*")) << first
        << Verdict::Malformed << QStringList{"line 2 is not base64"};
    QByteArray unknownAlgorithm = QByteArray::fromBase64(line2);
    unknownAlgorithm.replace(0, 2, "Xx");
    QTest::newRow("unknown algorithm")
        << m_content << MinisignTool::withLine(m_prehashed, 1, unknownAlgorithm.toBase64())
        << first
        << Verdict::Malformed << QStringList{"algorithm", "Xx"};
    // clang-format on
}

void TestMinisign::verify()
{
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, signature);
    QFETCH(Keys, keys);
    QFETCH(Verdict, verdict);
    QFETCH(QStringList, phrases);

    const Minisign::Verification result = Minisign::verify(content, signature, keys);
    QVERIFY2(result.verdict == verdict, qPrintable(result.description));
    if (verdict == Verdict::Valid) {
        QVERIFY(result.description.isEmpty());
        QCOMPARE(result.trustedComment, m_comment);
    }
    for (const QString &phrase : std::as_const(phrases)) {
        QVERIFY2(result.description.contains(phrase), qPrintable(result.description));
    }
}

void TestMinisign::publicKeys_data()
{
    // clang-format off
    QTest::addColumn<QString>("text");
    QTest::addColumn<Keys>("keys");
    QTest::addColumn<QString>("errorPhrase"); // empty when the text must be accepted

    const PublicKey first = expectedKey(FirstKey);
    const PublicKey second = expectedKey(SecondKey);
    // "RWa" decodes to "Ef": the right prefix to the eye, the wrong algorithm.
    const QString notEd = QString(FirstKey).replace(2, 1, u'a');
    const QString notBase64 = QString(FirstKey).replace(20, 1, u'-');

    QTest::newRow("one key") << FirstKey << Keys{first} << QString();
    QTest::newRow("two keys with blanks")
        << " \t" + FirstKey + " ,\t" + SecondKey + " " << Keys{first, second} << QString();
    QTest::newRow("empty text") << QString() << Keys() << QString();
    QTest::newRow("wrong length") << FirstKey.chopped(4) << Keys() << FirstKey.chopped(4);
    QTest::newRow("not base64") << notBase64 << Keys() << notBase64;
    QTest::newRow("RW but not Ed") << notEd << Keys() << "Ed25519";
    QTest::newRow("one bad key in a list")
        << FirstKey + ", " + notEd << Keys() << notEd;
    QTest::newRow("trailing comma") << FirstKey + "," << Keys() << "empty";
    // clang-format on
}

void TestMinisign::publicKeys()
{
    QFETCH(QString, text);
    QFETCH(Keys, keys);
    QFETCH(QString, errorPhrase);

    const Minisign::KeyList list = Minisign::parsePublicKeys(text);
    QVERIFY(list.keys == keys);
    QCOMPARE(list.error.isEmpty(), errorPhrase.isEmpty());
    QVERIFY2(list.error.contains(errorPhrase), qPrintable(list.error));
    if (keys.size() <= 1 && !text.contains(u',') && !text.isEmpty()) {
        const std::optional<PublicKey> key = Minisign::parsePublicKey(text.trimmed());
        QVERIFY(keys.isEmpty() ? !key : key == keys.first());
    }
}

void TestMinisign::keyIdText_data()
{
    QTest::addColumn<QString>("publicLine");
    QTest::addColumn<QString>("printedId");

    // minisign 0.11 printed this one's ID without its leading zeros.
    QTest::newRow("ID starting with a zero byte") << SecondKey << "88A20EFDE58FDA";
    if (MinisignTool::available()) {
        QTest::newRow("key just made") << m_first.publicLine << m_first.printedId;
    }
}

void TestMinisign::keyIdText()
{
    QFETCH(QString, publicLine);
    QFETCH(QString, printedId);

    const std::optional<PublicKey> key = Minisign::parsePublicKey(publicLine);
    QVERIFY(key);
    QCOMPARE(Minisign::keyIdText(key->keyId), printedId);
}

void TestMinisign::signatureFit_data()
{
    // clang-format off
    QTest::addColumn<QByteArray>("comment");
    QTest::addColumn<int>("maxAgeDays");
    QTest::addColumn<QString>("said"); // in the refusal; empty when the signature fits

    const qint64 day = 24 * 60 * 60;
    const auto signedAt = [](qint64 time, const char *rest = "\tfile:manifest.txt") {
        return "timestamp:" + QByteArray::number(time) + rest;
    };
    QTest::newRow("minisign's own comment") << signedAt(Now - 100, "\tfile:manifest.txt\thashed")
                                            << 30 << "";
    QTest::newRow("no limit: any age") << signedAt(1000) << 0 << "";
    QTest::newRow("signed for another file")
        << signedAt(Now, "\tfile:manifest-beta.txt\thashed") << 0
        << "it was signed as \"manifest-beta.txt\", not manifest.txt";
    QTest::newRow("names no file") << signedAt(Now, "\tfile:") << 0 << "names no file";
    QTest::newRow("no time with a limit") << QByteArray("file:manifest.txt") << 30
                                          << "no signing time";
    QTest::newRow("unreadable time") << signedAt(0, "x\tfile:manifest.txt") << 30
                                     << "no signing time";
    QTest::newRow("at the limit") << signedAt(Now - 30 * day) << 30 << "";
    QTest::newRow("a second past the limit")
        << signedAt(Now - 30 * day - 1) << 30
        << "it was signed on 2026-08-22 14:13 UTC, more than 30 days ago";
    QTest::newRow("a day ahead: clocks differ") << signedAt(Now + day) << 30 << "";
    QTest::newRow("two file fields: the first decides")
        << signedAt(Now, "\tfile:manifest-beta.txt\tfile:manifest.txt") << 0 << "\"manifest-beta.txt\"";
    QTest::newRow("more than a day ahead") << signedAt(Now + day + 1) << 30
                                           << "2026-09-22 14:13 UTC, more than a day ahead";
    QTest::newRow("time at the end of 64 bits")
        << signedAt(std::numeric_limits<qint64>::max()) << 30 << "more than a day ahead";
    // clang-format on
}

void TestMinisign::signatureFit()
{
    QFETCH(QByteArray, comment);
    QFETCH(int, maxAgeDays);
    QFETCH(QString, said);

    const std::optional<QString> misfit = signatureMisfit(comment, QStringLiteral("manifest.txt"),
                                                          maxAgeDays, Now);
    QVERIFY2(misfit.has_value() != said.isEmpty(), qPrintable(misfit.value_or("fits")));
    QVERIFY2(misfit.value_or(QString()).contains(said), qPrintable(misfit.value_or("fits")));
}

QTEST_GUILESS_MAIN(TestMinisign)
#include "tst_minisign.moc"
