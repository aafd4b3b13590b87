#include "clean_failure.h"
#include "form1.h"
#include "minisign_tool.h"
#include "random_bytes.h"
#include "sha256.h"
#include "test_files.h"
#include "test_http_server.h"
#include "test_window.h"

#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <memory>

using namespace std::chrono_literals;

namespace {

const QByteArray ManifestPath = "/online_installer/manifest.txt";
const QByteArray SignaturePath = "/online_installer/manifest.txt.minisig";
const QByteArray ReleasePath = "/online_installer/setup-2.sh";

} // namespace

// A program built with the vendor's keys: the manifest must carry a valid
// signature, and every release it lists is pinned.
class TestSignedManifest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void startup_data();
    void startup();
    void download_data();
    void download();

private:
    static TestWindowSettings trusting(const ManifestTrust &trust)
    {
        TestWindowSettings settings;
        settings.trust = trust;
        settings.folder = QStringLiteral("online_installer/");
        return settings;
    }

    QTemporaryDir m_keyFolder;
    std::unique_ptr<MinisignTool> m_tool;
    Minisign::PublicKey m_vendor;
    Minisign::PublicKey m_rotated;
    QByteArray m_release = randomBytes(150 * 1024);
    QByteArray m_manifest;
};

void TestSignedManifest::initTestCase()
{
    if (!MinisignTool::available()) {
        QSKIP("minisign is not installed (Debian package minisign); signed manifests untested");
    }
    m_tool = std::make_unique<MinisignTool>(m_keyFolder.path());
    for (const auto &[name, key] : {std::pair{"vendor", &m_vendor}, {"rotated", &m_rotated}}) {
        const std::optional<Minisign::PublicKey> made =
            Minisign::parsePublicKey(m_tool->makeKey(QString::fromLatin1(name)));
        QVERIFY(made);
        *key = *made;
    }
    QVERIFY(!m_tool->makeKey(QStringLiteral("stranger")).isEmpty());
    // Lines a signed manifest skips stand among those it lists.
    m_manifest = "# Orbistane releases\n" + pinnedLine("setup-2.sh", "Release 2", m_release) +
                 "W2003\tunpinned.sh\tNot pinned\n"
                 "W2003\tmalformed.sh\tShort digest\t0123abcd\t100\n"
                 "W2003\tsetup-3.sh\tRelease 3\t" +
                 Sha256::hash("3").toHex().toUpper() + "\t1\n";
    // Pinned but unbounded: an endless body for it would fill the disk.
    m_manifest += "W2003\tunbounded.sh\tNo size\t" + Sha256::hash("4").toHex() + "\n";
}

namespace {

// What happens to the manifest or its signature after signing; a null
// signature is not served at all.
using Damage = std::function<void(QByteArray &manifest, QByteArray &signature)>;

void intact(QByteArray &, QByteArray &) {}

// Replaces line number of the signature with what edit makes of it.
Damage editLine(int number, const std::function<QByteArray(const QByteArray &)> &edit)
{
    return [number, edit](QByteArray &, QByteArray &signature) {
        signature = MinisignTool::withLine(signature, number,
                                           edit(signature.split('\n').value(number)));
    };
}

} // namespace

void TestSignedManifest::startup_data()
{
    // clang-format off
    // signer: the key that signs, how; said: what the report must say, empty
    // when the list appears.
    QTest::addColumn<QString>("signer");
    QTest::addColumn<MinisignSigning>("how");
    QTest::addColumn<Damage>("damage");
    QTest::addColumn<QString>("said");
    const MinisignSigning prehashed;
    MinisignSigning legacy;
    legacy.legacy = true;
    MinisignSigning otherFile;
    otherFile.fileName = QStringLiteral("manifest-beta.txt");
    MinisignSigning old = legacy;
    old.trustedComment = "timestamp:" + QByteArray::number(QDateTime::currentSecsSinceEpoch() - 31 * 24 * 3600) + "\tfile:manifest.txt";
    const Damage changed = [](QByteArray &manifest, QByteArray &) { manifest.replace("Release 2", "Release 9"); };

    QTest::newRow("signed, prehashed") << "vendor" << prehashed << Damage(intact) << "";
    QTest::newRow("signed, legacy") << "vendor" << legacy << Damage(intact) << "";
    QTest::newRow("signed by the second trusted key") << "rotated" << prehashed << Damage(intact) << "";
    QTest::newRow("manifest changed after signing") << "vendor" << prehashed << changed << "changed after";
    QTest::newRow("legacy, manifest changed after signing") << "vendor" << legacy << changed << "changed after";
    QTest::newRow("signed by another key") << "stranger" << prehashed << Damage(intact) << "not a trusted key";
    QTest::newRow("signature missing") << "vendor" << prehashed << Damage([](QByteArray &, QByteArray &signature) { signature = QByteArray(); }) << "HTTP 404";
    QTest::newRow("signature empty") << "vendor" << prehashed << Damage([](QByteArray &, QByteArray &signature) { signature = ""; }) << "malformed";
    QTest::newRow("signature truncated") << "vendor" << prehashed << Damage([](QByteArray &, QByteArray &signature) { signature.truncate(signature.indexOf('\n') + 40); }) << "malformed";
    QTest::newRow("signature not base64") << "vendor" << prehashed << editLine(1, [](const QByteArray &) { return QByteArray("RUS!not*base64~at&all"); }) << "malformed";
    QTest::newRow("wrong algorithm bytes") << "vendor" << prehashed << editLine(1, [](const QByteArray &line) { return QByteArray::fromBase64(line).replace(0, 2, "Xx").toBase64(); }) << "malformed";
    QTest::newRow("trusted comment edited") << "vendor" << prehashed << editLine(2, [](const QByteArray &line) { return line + " edited"; }) << "trusted comment";
    // Signed by the vendor, but for another file or too long ago to be current.
    QTest::newRow("signed for another file") << "vendor" << otherFile << Damage(intact) << "signed as \"manifest-beta.txt\", not manifest.txt";
    QTest::newRow("signed 31 days ago") << "vendor" << old << Damage(intact) << "more than 30 days ago";
    // clang-format on
}

void TestSignedManifest::startup()
{
    QFETCH(QString, signer);
    QFETCH(MinisignSigning, how);
    QFETCH(Damage, damage);
    QFETCH(QString, said);

    QByteArray signature = m_tool->sign(m_manifest, signer, how);
    QVERIFY(!signature.isEmpty());
    QByteArray manifest = m_manifest;
    damage(manifest, signature);

    TestWindow window(trusting({{m_vendor, m_rotated}, 30}));
    window.server.serve(ManifestPath, TestHttpServer::ok(manifest));
    if (!signature.isNull()) {
        window.server.serve(SignaturePath, TestHttpServer::ok(signature));
    }
    window.load();

    QCOMPARE(window.server.requests().size(), 2);
    QCOMPARE(window.server.requests().value(1).path, SignaturePath);
    QCOMPARE(QDir(window.temp.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
             QStringList());
    if (said.isEmpty()) {
        QVERIFY2(!window.form->hasEnded(),
                 qPrintable(window.platform.errorReport.lastDescription()));
        // Only what pins its SHA-256 and size is listed.
        QCOMPARE(window.items(), (QStringList{"Release 2", "Release 3"}));
        return;
    }
    QVERIFY(window.form->hasEnded());
    QCOMPARE(window.platform.programEnd.exitCode, 1);
    QCOMPARE(window.platform.errorReport.reports.size(), 1);
    const QString description = window.platform.errorReport.lastDescription();
    QVERIFY2(description.contains(said, Qt::CaseInsensitive), qPrintable(description));
    QVERIFY2(description.contains(window.address(QStringLiteral("manifest.txt"))),
             qPrintable(description));
    QCOMPARE(window.form->ComboVersion->count(), 0);
}

void TestSignedManifest::download_data()
{
    QTest::addColumn<bool>("tampered");
    QTest::newRow("the signed release") << false;
    QTest::newRow("a release swapped on the server") << true;
}

void TestSignedManifest::download()
{
    QFETCH(bool, tampered);
    TestWindow window(trusting({{m_vendor}}));
    window.server.serve(ManifestPath, TestHttpServer::ok(m_manifest));
    window.server.serve(SignaturePath, TestHttpServer::ok(m_tool->sign(m_manifest, "vendor")));
    QByteArray served = m_release;
    if (tampered) {
        served[100] = 'X';
    }
    window.server.serve(ReleasePath, TestHttpServer::ok(served));
    QVERIFY(window.start());

    QVERIFY(window.download());

    const QString target = window.target(QStringLiteral("setup-2.sh"));
    if (!tampered) {
        QCOMPARE(window.platform.errorReport.lastDescription(), QString());
        QCOMPARE(readAll(target), m_release);
        QCOMPARE(window.platform.shell.started, QStringList{target});
        return;
    }
    expectCleanFailure(window,
                       {target, {target, QString::fromLatin1(Sha256::hash(m_release).toHex())}});
}

QTEST_MAIN(TestSignedManifest)
#include "tst_signed_manifest.moc"
