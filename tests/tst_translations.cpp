#include "form1.h"
#include "form6.h"
#include "logo.h"
#include "messages.h"
#include "progress_bar.h"
#include "qt_prompt.h"
#include "qt_translation.h"
#include "random_bytes.h"
#include "runtime_error.h"
#include "test_files.h"
#include "test_http_server.h"
#include "test_window.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTranslator>

using namespace std::chrono_literals;

namespace {

const QString File = QStringLiteral("orbistane-3.0-full.sh");

// The main window of one run, loaded in a language from a manifest listing one
// release, with that release picked and a fresh folder chosen.
std::unique_ptr<TestWindow> loaded(const QString &locale, const TestHttpServer::Response &release)
{
    TestWindowSettings settings;
    settings.language = locale;
    auto window = std::make_unique<TestWindow>(settings);
    window->serveRelease(File, release);
    if (window->load()) {
        window->pick();
    }
    return window;
}

// Whether a caption shows whole in its control, as laid out at start-up.
bool fits(const QLabel *label)
{
    return label->fontMetrics().horizontalAdvance(label->text()) <= label->contentsRect().width();
}

// A button's caption is drawn inside its frame.
bool fits(const QPushButton *button, const QString &text)
{
    QStyleOptionButton option;
    option.initFrom(button);
    const QRect inside = button->style()->subElementRect(QStyle::SE_PushButtonContents, &option,
                                                         button);
    return button->fontMetrics().horizontalAdvance(text) <= inside.width();
}

bool fits(const QLineEdit *edit)
{
    return edit->fontMetrics().horizontalAdvance(edit->text()) <= edit->width();
}

} // namespace

class TestTranslations final : public QObject
{
    Q_OBJECT

private slots:
    void questions_data();
    void questions();
    void captionsFit_data();
    void captionsFit();
    void standardButtons_data();
    void standardButtons();
    void markupIsShownAsText_data();
    void markupIsShownAsText();
};

void TestTranslations::questions_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("downloadAgain");
    QTest::addColumn<QString>("install");
    QTest::addColumn<QString>("cancel");

    QTest::newRow("Spanish")
        << "es_ES.UTF-8"
        << "Versión: orbistane-3.0-full.sh ya se descargo.\r\n¿Desea descargarlo otra vez?"
        << "Descarga satisfactoria.\r\n¿Desea instalar Orbistane orbistane-3.0-full.sh ahora?"
        << "Desea cancelar la descarga de Orbistane orbistane-3.0-full.sh?";
    QTest::newRow("English")
        << "en_US.UTF-8"
        << "Version: orbistane-3.0-full.sh was downloaded yet.\r\n"
           "Do you want to download it again?"
        << "Sucessfull download.\r\nDo you want to install Orbistane orbistane-3.0-full.sh now?"
        << "Do you want to cancel downloading of Orbistane orbistane-3.0-full.sh?";
    QTest::newRow("French")
        << "fr_FR.UTF-8"
        << "La version orbistane-3.0-full.sh a déjà été téléchargée.\r\n"
           "Voulez-vous la télécharger à nouveau\u00A0?"
        << "Téléchargement réussi.\r\n"
           "Voulez-vous installer Orbistane orbistane-3.0-full.sh maintenant\u00A0?"
        << "Voulez-vous annuler le téléchargement d'Orbistane orbistane-3.0-full.sh\u00A0?";
    QTest::newRow("German")
        << "de_DE.UTF-8"
        << "Die Version orbistane-3.0-full.sh wurde bereits heruntergeladen.\r\n"
           "Möchten Sie sie erneut herunterladen?"
        << "Download erfolgreich.\r\n"
           "Möchten Sie Orbistane orbistane-3.0-full.sh jetzt installieren?"
        << "Möchten Sie den Download von Orbistane orbistane-3.0-full.sh abbrechen?";
    QTest::newRow("Portuguese")
        << "pt_PT.UTF-8"
        << "A versão orbistane-3.0-full.sh já foi baixada.\r\nDeseja baixá-la novamente?"
        << "Download concluído.\r\nDeseja instalar o Orbistane orbistane-3.0-full.sh agora?"
        << "Deseja cancelar o download do Orbistane orbistane-3.0-full.sh?";
}

void TestTranslations::questions()
{
    QFETCH(QString, locale);
    QFETCH(QString, downloadAgain);
    QFETCH(QString, install);
    QFETCH(QString, cancel);

    {
        // A file already there, kept: asked to fetch it again, then to install it.
        const auto made = loaded(locale, TestHttpServer::ok(randomBytes(2000)));
        TestWindow &run = *made;
        QVERIFY(writeFile(run.target(), "older"));
        run.platform.prompt.answers = {PromptAnswer::No, PromptAnswer::No};
        QVERIFY(run.download());
        const QList<AskedPrompt> &asked = run.platform.prompt.asked;
        QCOMPARE(asked.size(), 2);
        QCOMPARE(asked[0].text, downloadAgain);
        QCOMPARE(asked[1].text, install);
        for (const AskedPrompt &prompt : asked) {
            QCOMPARE(prompt.title, message(1));
        }
    }
    {
        // Asked to cancel between two chunks. The body is large enough to be still
        // coming when Yes is answered, and finite: a cancel that failed to stop it
        // ends in the install question instead of filling the disk.
        const TestHttpServer::Response release =
            TestHttpServer::ok(QByteArray(32 * 1024 * 1024, 'x'));
        const auto made = loaded(locale, release);
        TestWindow &run = *made;
        Form1 &form = *run.form;
        connect(form.ProgressBar, &QProgressBar::valueChanged, this, [&, once = true]() mutable {
            if (std::exchange(once, false)) {
                QTimer::singleShot(0, &form, [&form] { form.Command1->click(); });
            }
        });
        run.platform.prompt.answers = {PromptAnswer::Yes};
        form.Command1->click();
        QCOMPARE(form.Command1->text(), message(5));
        QTRY_COMPARE(run.platform.programEnd.ends, 1);
        QCOMPARE(run.platform.prompt.asked.size(), 1);
        QCOMPARE(run.platform.prompt.asked[0].text, cancel);
    }
}

void TestTranslations::captionsFit_data()
{
    QTest::addColumn<QString>("locale");
    for (const char *locale : {"es_ES", "en_GB", "fr_FR", "de_DE", "pt_BR"}) {
        QTest::newRow(locale) << QString::fromLatin1(locale);
    }
}

void TestTranslations::captionsFit()
{
    QFETCH(QString, locale);
    const auto made = loaded(locale, TestHttpServer::ok("x"));
    TestWindow &run = *made;
    Form1 &form = *run.form;
    form.ComboVersion->setEditText(message(3));

    for (const QLabel *label : {form.Label1, form.Label2, form.Label6, form.Label8}) {
        QVERIFY2(!label->text().isEmpty(), qPrintable(label->objectName()));
        QVERIFY2(fits(label), qPrintable(label->text()));
    }
    QVERIFY2(fits(form.ComboVersion->lineEdit()), qPrintable(message(3)));
    QVERIFY2(fits(form.Command1, message(4)), qPrintable(message(4)));
    QVERIFY2(fits(form.Command1, message(5)), qPrintable(message(5)));

    Form6 dialog({run.platform.fileSystem, run.platform.management, run.platform.mounts,
                  run.platform.prompt, [](int n) { return message(n); }, drawLogo(), QIcon(),
                  form.Label4});
    dialog.Form_Load();
    QCOMPARE(dialog.windowTitle(), message(1));
    QCOMPARE(dialog.Label1->text(), message(19));
    QCOMPARE(dialog.Label4->text(), message(21));
    QVERIFY2(fits(dialog.Label1), qPrintable(message(19)));
    QVERIFY2(fits(dialog.Label4), qPrintable(message(21)));
}

void TestTranslations::standardButtons_data()
{
    // clang-format off
    QTest::addColumn<int>("language");
    QTest::addColumn<QString>("yes");
    QTest::addColumn<QString>("no");

    QTest::newRow("Spanish") << int(Language::Spanish) << "&Sí" << "&No";
    QTest::newRow("English") << int(Language::English) << "&Yes" << "&No";
    QTest::newRow("French") << int(Language::French) << "&Oui" << "&Non";
    QTest::newRow("German") << int(Language::German) << "&Ja" << "&Nein";
    QTest::newRow("Portuguese") << int(Language::Portuguese) << "&Sim" << "&Não";
    // clang-format on
}

void TestTranslations::standardButtons()
{
    QFETCH(int, language);
    QFETCH(QString, yes);
    QFETCH(QString, no);

    QTranslator translator; // removed from the application when it goes
    QCOMPARE(installQtTranslation(translator, language), language != Language::English);

    // The real message box, read while it is open, then answered No.
    QString shownYes;
    QString shownNo;
    QTimer::singleShot(0, this, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        QVERIFY(box);
        shownYes = box->button(QMessageBox::Yes)->text();
        shownNo = box->button(QMessageBox::No)->text();
        box->button(QMessageBox::No)->click();
    });
    QtPrompt prompt;
    QCOMPARE(prompt.ask(QStringLiteral("?"), PromptFlags::YesNo, QString()), PromptAnswer::No);
    QCOMPARE(shownYes, yes);
    QCOMPARE(shownNo, no);
}

void TestTranslations::markupIsShownAsText_data()
{
    QTest::addColumn<bool>("report"); // else a question
    QTest::newRow("a question") << false;
    QTest::newRow("the error report") << true;
}

void TestTranslations::markupIsShownAsText()
{
    QFETCH(bool, report);
    // As rich text, the entity would slip a right-to-left override past the
    // manifest's refusal of one.
    const QString name = QStringLiteral("<i>invoice&#x202E;hs.sh");
    Qt::TextFormat format = Qt::AutoText;
    QTimer::singleShot(0, this, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        QVERIFY(box);
        format = box->textFormat();
        box->buttons().constFirst()->click();
    });
    if (report) {
        QtErrorReport().report(RuntimeError(ErrorNumber::PathAccess, name));
    } else {
        QtPrompt().ask(message(11) + name + message(12), PromptFlags::YesNo, message(1));
    }
    QCOMPARE(format, Qt::PlainText);
}

QTEST_MAIN(TestTranslations)
#include "tst_translations.moc"
