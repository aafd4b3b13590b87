#include "default_destination.h"
#include "form1.h"
#include "messages.h"
#include "random_bytes.h"
#include "runtime_error.h"
#include "test_files.h"
#include "test_http_server.h"
#include "test_window.h"

#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

const QByteArray ManifestPath = "/online_installer/manifest.txt";

using Response = TestHttpServer::Response;

// A window against the test server's releases folder, in a language.
TestWindowSettings inLanguage(const QString &language = QStringLiteral("en_US.UTF-8"))
{
    TestWindowSettings settings;
    settings.language = language;
    settings.timeout = std::chrono::seconds(1);
    settings.folder = QStringLiteral("online_installer/");
    return settings;
}

// A home folder of the test's own while it lives, where the user's download
// folder is looked for.
class TestHome
{
public:
    TestHome()
        : m_home(qgetenv("HOME")), m_config(qgetenv("XDG_CONFIG_HOME")),
          m_hadConfig(qEnvironmentVariableIsSet("XDG_CONFIG_HOME"))
    {
        qputenv("HOME", QFile::encodeName(m_folder.path()));
        qunsetenv("XDG_CONFIG_HOME");
    }
    ~TestHome()
    {
        qputenv("HOME", m_home);
        if (m_hadConfig) {
            qputenv("XDG_CONFIG_HOME", m_config);
        }
    }
    TestHome(const TestHome &) = delete;
    TestHome &operator=(const TestHome &) = delete;

    QString path(const QString &name = QString()) const
    {
        return name.isEmpty() ? m_folder.path() : m_folder.filePath(name);
    }

    // As installed: run from the folder an install puts the program in.
    ProgramPlace installedProgram() const
    {
        const QString folder = QCoreApplication::applicationDirPath();
        return {folder, folder, path(), true};
    }

private:
    QTemporaryDir m_folder;
    QByteArray m_home;
    QByteArray m_config;
    bool m_hadConfig;
};

} // namespace

class TestStartup final : public QObject
{
    Q_OBJECT

private slots:
    void captions_data();
    void captions();
    void listFilledInFileOrder();
    void manifestWithoutReleases_data();
    void manifestWithoutReleases();
    void failedFetchIsReported_data();
    void failedFetchIsReported();
    void plantedLinkIsNotFollowed();
    void entriesStopAtTheLimit();
    void pickShowsFileName();
    void installedProgramDownloadsToTheUserFolder_data();
    void installedProgramDownloadsToTheUserFolder();
    void refusedReleaseMakesNoDownloadFolder();
    void unexpectedFailureIsReported();
};

void TestStartup::captions_data()
{
    // clang-format off
    QTest::addColumn<QString>("language");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("label1");
    QTest::addColumn<QString>("command1");
    QTest::addColumn<QString>("comboText");
    QTest::addColumn<QString>("label2");

    QTest::newRow("Spanish") << "es_ES.UTF-8" << " Descarga on line de Orbistane."
                             << "Seleccione la version de Orbistane:" << "Aceptar"
                             << "< Seleccione versión >" << "Descargando ...";
    QTest::newRow("English") << "en_GB.UTF-8" << " OnLine Download Orbistane."
                             << "Select version of Orbistane:" << "OK" << "< Select version >"
                             << "Downloading ...";
    QTest::newRow("French") << "fr_FR.UTF-8" << " Téléchargement en ligne d'Orbistane."
                            << "Sélectionnez la version d'Orbistane\u00A0:" << "OK"
                            << "< Sélectionnez une version >" << "Transfert ...";
    QTest::newRow("German") << "de_DE.UTF-8" << " Online-Download von Orbistane."
                            << "Wählen Sie die Version von Orbistane:" << "OK"
                            << "< Version auswählen >" << "Lädt herunter ...";
    QTest::newRow("Portuguese") << "pt_PT.UTF-8" << " Download online do Orbistane."
                                << "Selecione a versão do Orbistane:" << "OK"
                                << "< Selecione a versão >" << "Baixando ...";
    QTest::newRow("Italian is English") << "it_IT.UTF-8" << " OnLine Download Orbistane."
                                        << "Select version of Orbistane:" << "OK"
                                        << "< Select version >" << "Downloading ...";
    // clang-format on
}

void TestStartup::captions()
{
    QFETCH(QString, language);
    QFETCH(QString, title);
    QFETCH(QString, label1);
    QFETCH(QString, command1);
    QFETCH(QString, comboText);
    QFETCH(QString, label2);

    TestWindow s(inLanguage(language));
    s.serveManifest("W2003\ta.sh\tRelease A\n");
    QVERIFY(s.load());
    QCOMPARE(s.form->windowTitle(), title);
    QCOMPARE(s.form->Label6->text(), title);
    QCOMPARE(s.form->Label1->text(), label1);
    QCOMPARE(s.form->Command1->text(), command1);
    QCOMPARE(s.form->ComboVersion->currentText(), comboText);
    QCOMPARE(s.form->Label8->text(), comboText);
    QCOMPARE(s.form->Label2->text(), label2);
    QCOMPARE(s.form->Label4->text(), QCoreApplication::applicationDirPath());
    QCOMPARE(s.form->SelectedFile, QString());
    QVERIFY(!s.form->Downloading);
}

void TestStartup::listFilledInFileOrder()
{
    TestWindow s(inLanguage());
    s.serveManifest("# Releases\r\n"
                    "W2003\tsetup_2_1.sh\tRelease 2.1\r\n"
                    "L2010\tother.sh\tOther platform\r\n"
                    "\r\n"
                    "w2003\tsetup_1_0.sh\tRelease 1.0\textra\r\n"
                    "W2003\t../escape.sh\tEscape\r\n"
                    "W2003\tshort.sh\r\n"
                    "W2003\tsetup_3_0.sh\tVersi\xf3n 3\r\n"
                    "W2003\tdup.sh\tRelease 2.1\r\n");
    QVERIFY2(s.load(), qPrintable(s.platform.errorReport.lastDescription()));
    const QStringList names{"Release 2.1", "Release 1.0", "Versión 3", "Release 2.1"};
    QCOMPARE(s.items(), names);
    QCOMPARE(s.form->VersionNames, QStringList{""} + names);
    QCOMPARE(s.form->VersionFiles,
             (QStringList{"", "setup_2_1.sh", "setup_1_0.sh", "setup_3_0.sh", "dup.sh"}));
    QCOMPARE(s.form->VersionCount, qint16(5));
    QCOMPARE(s.form->ComboVersion->currentIndex(), -1);
    QCOMPARE(s.form->ComboVersion->currentText(), QStringLiteral("< Select version >"));
    QCOMPARE(s.leftovers(), QStringList());
    QVERIFY(!QFile::exists(s.form->ManifestPath));
    QCOMPARE(s.form->ManifestPath.section(QLatin1Char('/'), -1),
             QStringLiteral("OrbistaneInfo.txt"));
    QCOMPARE(s.form->RemoteUrl,
             s.server.baseUrl() + QStringLiteral("online_installer/manifest.txt"));
    QCOMPARE(s.server.requests().size(), 1);
    QCOMPARE(s.server.requests().first().method, QByteArray("GET"));
}

void TestStartup::manifestWithoutReleases_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("maintenance page") << QByteArray("<html><body>Maintenance</body></html>\n");
    QTest::newRow("no tagged line") << QByteArray("L2003\ta.sh\tRelease A\nW2004\tb.sh\tB\n");
    QTest::newRow("binary junk") << randomBytes(64 * 1024);
    QTest::newRow("empty") << QByteArray();
}

void TestStartup::manifestWithoutReleases()
{
    QFETCH(QByteArray, body);
    TestWindow s(inLanguage());
    s.serveManifest(body);
    QVERIFY(s.load());
    QCOMPARE(s.form->ComboVersion->count(), 0);
    QCOMPARE(s.form->ComboVersion->currentText(), QStringLiteral("< Select version >"));
    QVERIFY(s.form->VersionNames.isEmpty());
    QCOMPARE(s.form->VersionCount, qint16(1));
    QCOMPARE(s.leftovers(), QStringList());

    // Nothing to fetch: OK asks for a release and starts nothing.
    s.form->Label4->setText(s.temp.path());
    s.form->Command1->click();
    QCOMPARE(s.platform.prompt.asked.size(), 1);
    QCOMPARE(s.platform.prompt.asked[0].text,
             QStringLiteral("Please select a Version of Orbistane to download."));
    QCOMPARE(s.platform.prompt.asked[0].flags, 64);
    QVERIFY(!s.form->hasEnded());
    QCOMPARE(s.server.requests().size(), 1);
}

void TestStartup::failedFetchIsReported_data()
{
    // clang-format off
    QTest::addColumn<Response>("response");
    QTest::addColumn<bool>("listening");
    QTest::addColumn<QString>("expected");
    // The window the fetch's floor on the rate is measured over.
    QTest::addColumn<int>("rateWindowMs");

    const int usual = 30000;
    const Response listed = TestHttpServer::ok("W2003\ta.sh\tRelease A\n");
    Response cut = listed;
    cut.contentLength = 1000;
    cut.dropAfter = listed.body.size();
    Response stalled = listed;
    stalled.stallAfter = 5;
    Response announced = listed;
    announced.contentLength = 16 * 1024 * 1024 + 1;
    // 100 bytes a second, never idle for long.
    Response dripping = TestHttpServer::ok(QByteArray(2048, '#'));
    dripping.bytesPerTick = 1;
    QTest::newRow("404") << TestHttpServer::status(404, "Not Found", listed.body) << true << "answered HTTP 404 Not Found" << usual;
    QTest::newRow("500") << TestHttpServer::status(500, "Internal Server Error") << true << "answered HTTP 500 Internal Server Error" << usual;
    QTest::newRow("nobody listening") << listed << false << "No answer from" << usual;
    QTest::newRow("body cut short") << cut << true << "broke off … (3 attempts)" << usual;
    QTest::newRow("20 MiB of junk") << TestHttpServer::ok(randomBytes(20 * 1024 * 1024)) << true << "larger than 16777216 bytes" << usual;
    Response endlessPage = TestHttpServer::status(500, "Internal Server Error", randomBytes(64 * 1024));
    endlessPage.endless = true;
    endlessPage.sendContentLength = false;
    QTest::newRow("an error page that never ends") << endlessPage << true << "answered HTTP 500 Internal Server Error" << usual;
    QTest::newRow("announced over the limit") << announced << true << "larger than 16777216 bytes" << usual;
    QTest::newRow("stalled") << stalled << true << "No data from … for 1 seconds (3 attempts)" << usual;
    QTest::newRow("dripping below the floor") << dripping << true << "slower than 1024 bytes/s over 0.3 s (3 attempts)" << 300;
    // clang-format on
}

void TestStartup::failedFetchIsReported()
{
    QFETCH(Response, response);
    QFETCH(bool, listening);
    QFETCH(QString, expected);
    QFETCH(int, rateWindowMs);

    TestWindowSettings settings = inLanguage();
    settings.fetchRateWindow = std::chrono::milliseconds(rateWindowMs);
    TestWindow s(settings);
    s.server.serve(ManifestPath, response);
    if (!listening) {
        s.server.close();
    }
    QVERIFY(!s.load());
    QCOMPARE(s.platform.programEnd.ends, 1);
    QVERIFY(s.platform.programEnd.exitCode != 0);
    QCOMPARE(s.platform.errorReport.reports.size(), 1);
    const QString description = s.platform.errorReport.lastDescription();
    // Each part, in any order.
    for (const QString &part : expected.split(QStringLiteral(" … "))) {
        QVERIFY2(description.contains(part), qPrintable(description));
    }
    QVERIFY2(description.contains(s.address(QStringLiteral("manifest.txt"))),
             qPrintable(description));
    QCOMPARE(s.form->ComboVersion->count(), 0);
    QCOMPARE(s.leftovers(), QStringList());
}

void TestStartup::plantedLinkIsNotFollowed()
{
    TestWindow s(inLanguage());
    QTemporaryDir elsewhere;
    const QString victim = elsewhere.filePath(QStringLiteral("victim"));
    QVERIFY(writeFile(victim, "precious"));
    const QString planted = QDir(s.temp.path()).filePath(QStringLiteral("OrbistaneInfo.txt"));
    QVERIFY(QFile::link(victim, planted));

    s.serveManifest("W2003\ta.sh\tRelease A\n");
    QVERIFY(s.load());
    QCOMPARE(s.items(), QStringList{"Release A"});
    QCOMPARE(readAll(victim), QByteArray("precious"));
    QCOMPARE(s.leftovers(), QStringList{"OrbistaneInfo.txt"});
}

void TestStartup::entriesStopAtTheLimit()
{
    TestWindow s(inLanguage());
    QByteArray manifest;
    for (int i = 1; i <= 32770; ++i) {
        manifest += "W2003\tf" + QByteArray::number(i) + ".sh\tR" + QByteArray::number(i) + "\n";
    }
    s.serveManifest(manifest);
    QVERIFY2(s.load(), qPrintable(s.platform.errorReport.lastDescription()));
    QCOMPARE(s.form->ComboVersion->count(), 32766);
    QCOMPARE(s.form->VersionCount, qint16(32767));
    QCOMPARE(s.form->VersionFiles.constLast(), QStringLiteral("f32766.sh"));
}

void TestStartup::pickShowsFileName()
{
    TestWindow s(inLanguage());
    s.serveManifest("W2003\tsetup_2_1.sh\tRelease 2.1\n"
                    "W2003\tsetup_3_0.sh\tRelease 3.0\n"
                    "W2003\t<i>invoice&#x202E;hs.sh\tRelease 4.0\n");
    s.load();

    s.form->ComboVersion->setEditText(QStringLiteral("Release 3.0"));
    QCOMPARE(s.form->SelectedFile, QString());
    QCOMPARE(s.form->Label8->text(), QStringLiteral("< Select version >"));

    s.form->ComboVersion->setCurrentIndex(1);
    emit s.form->ComboVersion->activated(1);
    QCOMPARE(s.form->SelectedFile, QStringLiteral("setup_3_0.sh"));
    QCOMPARE(s.form->Label8->text(), QStringLiteral("< setup_3_0.sh >"));

    // A name that reads as markup is shown as it is spelt.
    s.form->ComboVersion->setCurrentIndex(2);
    emit s.form->ComboVersion->activated(2);
    QCOMPARE(s.form->Label8->text(), QStringLiteral("< <i>invoice&#x202E;hs.sh >"));
    QCOMPARE(s.form->Label8->textFormat(), Qt::PlainText);
}

void TestStartup::installedProgramDownloadsToTheUserFolder_data()
{
    QTest::addColumn<QByteArray>("userDirs");
    QTest::addColumn<QString>("folderName");

    QTest::newRow("no user-dirs.dirs") << QByteArray() << "Downloads";
    QTest::newRow("named by user-dirs.dirs")
        << QByteArray("XDG_DESKTOP_DIR=\"$HOME/Escritorio\"\n"
                      "XDG_DOWNLOAD_DIR=\"$HOME/Mis descargas\"\n")
        << "Mis descargas";
}

void TestStartup::installedProgramDownloadsToTheUserFolder()
{
    QFETCH(QByteArray, userDirs);
    QFETCH(QString, folderName);

    const TestHome home;
    if (!userDirs.isEmpty()) {
        QVERIFY(QDir().mkpath(home.path(QStringLiteral(".config"))));
        QVERIFY(writeFile(home.path(QStringLiteral(".config/user-dirs.dirs")), userDirs));
    }
    const QByteArray body = randomBytes(300 * 1024);
    TestWindow s(inLanguage());
    s.serveManifest(pinnedLine("a.sh", "Release A", body));
    s.server.serve("/online_installer/a.sh", TestHttpServer::ok(body));
    s.make().setProgramPlace(home.installedProgram());
    s.load();

    // Shown, not made: nothing is created before OK.
    const QString downloads = home.path(folderName);
    QVERIFY2(!s.form->hasEnded(), qPrintable(s.platform.errorReport.lastDescription()));
    QCOMPARE(s.form->Label4->text(), downloads);
    QVERIFY(nothingAt(downloads));

    s.form->ComboVersion->setCurrentIndex(0);
    emit s.form->ComboVersion->activated(0);
    QVERIFY(s.download(10000));

    QVERIFY2(s.platform.errorReport.reports.isEmpty(),
             qPrintable(s.platform.errorReport.lastDescription()));
    const QString release = downloads + QStringLiteral("/a.sh");
    QCOMPARE(readAll(release), body);
    // Only the install question: the file was not there before.
    QCOMPARE(s.platform.prompt.asked.size(), 1);
    QCOMPARE(s.platform.prompt.asked[0].text,
             QStringLiteral("Sucessfull download.\r\nDo you want to install Orbistane a.sh now?"));
    QCOMPARE(s.platform.shell.started, QStringList{release});
}

void TestStartup::refusedReleaseMakesNoDownloadFolder()
{
    const TestHome home;
    TestWindow s(inLanguage());
    s.serveManifest("W2003\ta.sh\tRelease A\n");
    TestHttpServer::Response head = TestHttpServer::ok(randomBytes(1024));
    head.contentLength = qint64(1) << 50; // 1 PiB: larger than the volume the folder would be on
    s.server.serveHead("/online_installer/a.sh", head);
    s.make().setProgramPlace(home.installedProgram());
    s.load();

    const QString downloads = home.path(QStringLiteral("Downloads"));
    QCOMPARE(s.form->Label4->text(), downloads);
    s.form->ComboVersion->setCurrentIndex(0);
    emit s.form->ComboVersion->activated(0);
    s.form->Command1->click();

    QCOMPARE(s.platform.prompt.asked.size(), 1);
    const QString said = s.platform.prompt.asked[0].text;
    QVERIFY2(said.startsWith(QLatin1String("The release needs ")), qPrintable(said));
    QCOMPARE(s.platform.programEnd.ends, 0);
    QVERIFY(s.form->ButtonFolder->isEnabled());
    QVERIFY(nothingAt(downloads));
    QCOMPARE(s.server.requests().constLast().method, QByteArray("HEAD"));
}

void TestStartup::unexpectedFailureIsReported()
{
    // What no handler expects (no memory, a library that broke) still reaches the report.
    TestWindow s(inLanguage());
    s.make(s.server.baseUrl());
    s.form->setLanguageListener([](int) { throw std::bad_alloc(); });
    s.form->Form_Load();

    QVERIFY(s.form->hasEnded());
    QCOMPARE(s.platform.programEnd.exitCode, 1);
    QCOMPARE(s.platform.errorReport.reports.size(), 1);
    QCOMPARE(s.platform.errorReport.reports[0].number(), ErrorNumber::InternalError);
}

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
