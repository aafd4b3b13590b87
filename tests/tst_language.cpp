#include "linux_shell.h"
#include "messages.h"
#include "runtime_error.h"

#include <QRegularExpression>
#include <QTest>

class TestLanguage final : public QObject
{
    Q_OBJECT

private slots:
    void chosenLocale_data();
    void chosenLocale();
    void languageNumber_data();
    void languageNumber();
    void tableIsBuiltWhole();
    void temporaryFolder_data();
    void temporaryFolder();
};

void TestLanguage::chosenLocale_data()
{
    // clang-format off
    QTest::addColumn<QString>("lcAll");
    QTest::addColumn<QString>("lcMessages");
    QTest::addColumn<QString>("lang");
    QTest::addColumn<QString>("expected");

    QTest::newRow("LC_ALL wins") << "es_ES.UTF-8" << "en_US.UTF-8" << "fr_FR" << "es_ES.UTF-8";
    QTest::newRow("LC_MESSAGES next") << "" << "de_DE" << "fr_FR" << "de_DE";
    QTest::newRow("LANG last") << "" << "" << "pt_BR.UTF-8" << "pt_BR.UTF-8";
    QTest::newRow("none set") << "" << "" << "" << "C";
    // clang-format on
}

void TestLanguage::chosenLocale()
{
    QFETCH(QString, lcAll);
    QFETCH(QString, lcMessages);
    QFETCH(QString, lang);
    QFETCH(QString, expected);

    QProcessEnvironment environment;
    environment.insert(QStringLiteral("LC_ALL"), lcAll);
    environment.insert(QStringLiteral("LC_MESSAGES"), lcMessages);
    environment.insert(QStringLiteral("LANG"), lang);
    LinuxShell shell(environment);
    QCOMPARE(shell.RegRead(QStringLiteral("sLanguage")), expected);
}

void TestLanguage::languageNumber_data()
{
    QTest::addColumn<QString>("lang");
    QTest::addColumn<int>("language");
    QTest::addColumn<QString>("caption");

    const QString spanish = QStringLiteral(" Descarga on line de Orbistane.");
    const QString english = QStringLiteral(" OnLine Download Orbistane.");
    QTest::newRow("es_ES") << "es_ES.UTF-8" << 1 << spanish;
    QTest::newRow("es_MX") << "es_MX" << 1 << spanish;
    QTest::newRow("ES upper") << "ES" << 1 << spanish;
    QTest::newRow("eS mixed") << "eSp" << 1 << spanish;
    QTest::newRow("en_US") << "en_US.UTF-8" << 2 << english;
    QTest::newRow("fr_FR") << "fr_FR.UTF-8" << 3 << " Téléchargement en ligne d'Orbistane.";
    QTest::newRow("fr_CA") << "fr_CA" << 3 << " Téléchargement en ligne d'Orbistane.";
    QTest::newRow("de_DE") << "de_DE.UTF-8" << 4 << " Online-Download von Orbistane.";
    QTest::newRow("de_AT") << "de_AT" << 4 << " Online-Download von Orbistane.";
    QTest::newRow("pt_BR") << "pt_BR.UTF-8" << 5 << " Download online do Orbistane.";
    QTest::newRow("pt_PT") << "pt_PT.UTF-8" << 5 << " Download online do Orbistane.";
    QTest::newRow("unknown it_IT") << "it_IT.UTF-8" << 2 << english;
    QTest::newRow("one letter") << "e" << 2 << english;
    QTest::newRow("unset is C") << "" << 2 << english;
    QTest::newRow("POSIX") << "POSIX" << 2 << english;
    QTest::newRow("blank first") << " es" << 2 << english;
}

void TestLanguage::languageNumber()
{
    QFETCH(QString, lang);
    QFETCH(int, language);
    QFETCH(QString, caption);

    QProcessEnvironment environment;
    environment.insert(QStringLiteral("LANG"), lang);
    LinuxShell shell(environment);
    QCOMPARE(InitLanguage(shell), language);
    LanguageId = QString::number(language);
    QCOMPARE(message(1), caption);
}

void TestLanguage::tableIsBuiltWhole()
{
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("LANG"), QStringLiteral("es_ES"));
    LinuxShell shell(environment);
    InitLanguage(shell);

    QCOMPARE(Messages.lastMessage(), 43);
    for (int language = 0; language <= 5; ++language) {
        QVERIFY(Messages.at(language, 0).isEmpty());
    }
    // Every language has every text, with the same blanks for arg() to fill
    // as English: a missing %2 would reach the screen as "%2".
    static const QRegularExpression placeholder(QStringLiteral("%[1-9]"));
    const auto placeholders = [](const QString &text) {
        QStringList found;
        for (const QRegularExpressionMatch &match : placeholder.globalMatch(text)) {
            found.append(match.captured());
        }
        found.sort();
        return found;
    };
    for (int n = 1; n <= 43; ++n) {
        QVERIFY(Messages.at(0, n).isEmpty());
        for (int language = 1; language <= 5; ++language) {
            const QString where = QStringLiteral("language %1, message %2").arg(language).arg(n);
            const QString text = Messages.at(language, n);
            QVERIFY2(!text.trimmed().isEmpty(), qPrintable(where));
            QVERIFY2(placeholders(text) == placeholders(Messages.at(2, n)), qPrintable(where));
        }
    }
    // Blanks at the ends are part of the pieces that questions are joined from.
    QCOMPARE(Messages.at(1, 8), QStringLiteral("Desea cancelar la descarga de Orbistane "));
    QCOMPARE(Messages.at(2, 12), QStringLiteral(" was downloaded yet."));
    QCOMPARE(Messages.at(2, 14), QStringLiteral("Sucessfull download."));
    QCOMPARE(Messages.at(1, 13), QStringLiteral("¿Desea descargarlo otra vez?"));
    QCOMPARE(Messages.at(2, 19), QStringLiteral("Select a destiny folder: "));
    QCOMPARE(Messages.at(1, 32), QStringLiteral("quedan %1"));
    QCOMPARE(Messages.at(2, 34), QStringLiteral("Retry %1 of %2 in %3"));
    QVERIFY_THROWS_EXCEPTION(RuntimeError, Messages.at(2, 44));
    QVERIFY_THROWS_EXCEPTION(RuntimeError, Messages.at(6, 1));
}

void TestLanguage::temporaryFolder_data()
{
    // clang-format off
    QTest::addColumn<QString>("tmpdir");
    QTest::addColumn<QString>("expected");

    QTest::newRow("unset") << "" << "/tmp";
    QTest::newRow("plain") << "/var/tmp" << "/var/tmp";
    QTest::newRow("trailing separators") << "/home/ana/tmp//" << "/home/ana/tmp";
    // clang-format on
}

void TestLanguage::temporaryFolder()
{
    QFETCH(QString, tmpdir);
    QFETCH(QString, expected);

    QProcessEnvironment environment;
    if (!tmpdir.isEmpty()) {
        environment.insert(QStringLiteral("TMPDIR"), tmpdir);
    }
    LinuxShell shell(environment);
    QCOMPARE(shell.ExpandEnvironmentStrings(QStringLiteral("%TEMP%")), expected);
}

QTEST_GUILESS_MAIN(TestLanguage)
#include "tst_language.moc"
