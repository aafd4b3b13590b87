#include "fakes.h"
#include "messages.h"
#include "transfer_meter.h"
#include "transfer_status.h"

#include <QTest>

class TestTransferStatus final : public QObject
{
    Q_OBJECT

private slots:
    void meter_data();
    void meter();
    void statusLine_data();
    void statusLine();
    void retryLine();
    void serverLine();
};

namespace {

// InitLanguage sets the language from the locale, as at start-up.
void useLanguage(const QString &locale)
{
    FakeShell shell;
    shell.language = locale;
    LanguageId = QString::number(InitLanguage(shell));
}

// Samples as the window takes them: bytes so far, every `every` ms.
struct Feed
{
    QList<qint64> bytes{0};
    QList<qint64> msecs{0};

    // The rate as the rows write it: in the doubles the meter's estimates are compared with.
    Feed &at(double bytesPerSecond, qint64 forMsecs, qint64 every = 500)
    {
        const auto perSecond = static_cast<qint64>(bytesPerSecond);
        for (qint64 t = every; t <= forMsecs; t += every) {
            bytes.append(bytes.constLast() + perSecond * every / 1000);
            msecs.append(msecs.constLast() + every);
        }
        return *this;
    }
};

} // namespace

Q_DECLARE_METATYPE(Feed)

void TestTransferStatus::meter_data()
{
    // clang-format off
    QTest::addColumn<Feed>("feed");
    QTest::addColumn<double>("lowest"); // -1: no estimate yet
    QTest::addColumn<double>("highest");
    QTest::addColumn<qint64>("secondsLeftOf10MB"); // -1: unknown

    const double mb = 1e6;
    Feed restarted = Feed().at(mb, 4000);
    restarted.bytes.append(0);
    restarted.msecs.append(4500);
    QTest::newRow("short samples add up") << Feed().at(mb, 9600, 200) << mb << mb << 1LL;
    QTest::newRow("too early") << Feed().at(mb, 200, 100) << -1.0 << -1.0 << -1LL;
    QTest::newRow("restart from 0") << restarted.at(mb, 2000) << mb << mb << 8LL;
    QTest::newRow("pause decays") << Feed().at(mb, 10000).at(0, 2000) << 0.5 * mb << 0.8 * mb
                                  << 0LL;
    QTest::newRow("long stall is 0") << Feed().at(mb, 10000).at(0, 120000) << 0.0 << 0.0
                                     << -1LL;
    QTest::newRow("burst is damped") << Feed().at(mb, 10000).at(5 * mb, 500) << mb << 1.5 * mb
                                     << 0LL;
    // clang-format on
}

void TestTransferStatus::meter()
{
    QFETCH(Feed, feed);
    QFETCH(double, lowest);
    QFETCH(double, highest);
    QFETCH(qint64, secondsLeftOf10MB);

    TransferMeter meter;
    for (int i = 0; i < feed.bytes.size(); ++i) {
        meter.sample(feed.bytes[i], feed.msecs[i]);
    }
    const double rate = meter.bytesPerSecond().value_or(-1);
    QVERIFY2(rate >= lowest && rate <= highest, qPrintable(QString::number(rate)));
    QCOMPARE(meter.secondsLeft(10000000).value_or(-1), secondsLeftOf10MB);
}

void TestTransferStatus::statusLine_data()
{
    // clang-format off
    QTest::addColumn<QString>("locale");
    QTest::addColumn<qint64>("total"); // -1: unknown; 5 MB received either way
    QTest::addColumn<double>("rate"); // -1: unknown
    QTest::addColumn<qint64>("secondsLeft"); // -1: unknown
    QTest::addColumn<QString>("expected");

    const QString es = QStringLiteral("es_ES.UTF-8");
    const QString en = QStringLiteral("en_GB.UTF-8");
    const qint64 gb = 1000000000;
    QTest::newRow("es") << es << gb << 11.8e6 << 80LL << "11,8 MB/s · quedan 1 min 20 s";
    QTest::newRow("nothing yet") << en << gb << -1.0 << -1LL << "";
    QTest::newRow("bytes, to 10 s") << en << gb << 999.0 << 601LL
                                    << "999 B/s · 10 min 10 s left";
    QTest::newRow("to 100, to 1 min") << en << gb << 99960.0 << 3599LL
                                      << "100 kB/s · 1 h 0 min left";
    QTest::newRow("next unit") << es << gb << 999.6e6 << 7201LL << "1,0 GB/s · quedan 2 h 1 min";
    QTest::newRow("no grouping") << en << gb << 12345e9 << 59LL << "12345 GB/s · 59 s left";
    QTest::newRow("en size unknown") << en << -1LL << 118e6 << 9LL
                                     << "5.0 MB received · 118 MB/s";
    QTest::newRow("es size unknown") << es << -1LL << -1.0 << -1LL << "5,0 MB recibidos";
    QTest::newRow("fr") << "fr_FR.UTF-8" << gb << 11.8e6 << 80LL
                        << "11,8 Mo/s · temps restant\u00A0: 1 min 20 s";
    QTest::newRow("fr size unknown") << "fr_CA" << -1LL << 999.0 << -1LL
                                     << "5,0 Mo reçus · 999 o/s";
    QTest::newRow("de") << "de_DE.UTF-8" << gb << 999.6e6 << 7201LL
                        << "1,0 GB/s · noch 2 h 1 min";
    QTest::newRow("de size unknown") << "de_CH" << -1LL << -1.0 << -1LL << "5,0 MB empfangen";
    QTest::newRow("pt") << "pt_PT.UTF-8" << gb << 99960.0 << 9LL << "100 kB/s · faltam 9 s";
    QTest::newRow("pt size unknown") << "pt_BR" << -1LL << -1.0 << -1LL << "5,0 MB recebidos";
    // clang-format on
}

void TestTransferStatus::statusLine()
{
    QFETCH(QString, locale);
    QFETCH(qint64, total);
    QFETCH(double, rate);
    QFETCH(qint64, secondsLeft);
    QFETCH(QString, expected);

    useLanguage(locale);
    const auto bytesPerSecond = rate < 0 ? std::nullopt : std::optional<double>(rate);
    const auto left = secondsLeft < 0 ? std::nullopt : std::optional<qint64>(secondsLeft);
    QCOMPARE(transferStatusLine(5000000, total, bytesPerSecond, left), expected);
}

void TestTransferStatus::retryLine()
{
    useLanguage(QStringLiteral("es_ES.UTF-8"));
    QCOMPARE(retryStatusLine(2, 5, 30), QStringLiteral("Reintento 2 de 5 en 30 s"));
    useLanguage(QStringLiteral("en_GB.UTF-8"));
    QCOMPARE(retryStatusLine(2, 5, 90), QStringLiteral("Retry 2 of 5 in 1 min 30 s"));
    useLanguage(QStringLiteral("fr_FR.UTF-8"));
    QCOMPARE(retryStatusLine(1, 5, 4), QStringLiteral("Nouvel essai 1 sur 5 dans 4 s"));
    useLanguage(QStringLiteral("de_DE.UTF-8"));
    QCOMPARE(retryStatusLine(3, 5, 8), QStringLiteral("Neuer Versuch 3 von 5 in 8 s"));
    useLanguage(QStringLiteral("pt_BR.UTF-8"));
    QCOMPARE(retryStatusLine(5, 5, 16), QStringLiteral("Nova tentativa 5 de 5 em 16 s"));
}

void TestTransferStatus::serverLine()
{
    DownloadProgress progress{DownloadPhase::Receiving,
                              5000000,
                              -1,
                              0,
                              8.8e6,
                              {},
                              QStringLiteral("https://mirror.example.org/o/setup.sh"),
                              2,
                              3,
                              0,
                              {}};
    useLanguage(QStringLiteral("en_GB.UTF-8"));
    QCOMPARE(downloadStatusLine(progress),
             QStringLiteral("mirror.example.org (2 of 3) · 5.0 MB received · 8.8 MB/s"));
    useLanguage(QStringLiteral("fr_FR.UTF-8"));
    progress.address = QStringLiteral("http://127.0.0.1:8766/o/setup.sh");
    QCOMPARE(downloadStatusLine(progress),
             QStringLiteral("127.0.0.1:8766 (2 sur 3) · 5,0 Mo reçus · 8,8 Mo/s"));
    useLanguage(QStringLiteral("de_DE.UTF-8"));
    progress.address = QStringLiteral("https://[::1]:443/o/setup.sh");
    progress.bytesPerSecond.reset();
    QCOMPARE(downloadStatusLine(progress), QStringLiteral("[::1] (2 von 3) · 5,0 MB empfangen"));
    // Once whole, still named.
    progress.phase = DownloadPhase::Finished;
    QCOMPARE(downloadStatusLine(progress),
             QStringLiteral("Download abgeschlossen: 5,0 MB von [::1]"));
    useLanguage(QStringLiteral("es_ES.UTF-8"));
    QCOMPARE(downloadStatusLine(progress),
             QStringLiteral("Descarga completada: 5,0 MB desde [::1]"));
    // The first server is not named.
    progress.server = 1;
    QCOMPARE(downloadStatusLine(progress), QStringLiteral("Descarga completada: 5,0 MB"));
    progress.phase = DownloadPhase::Receiving;
    QCOMPARE(downloadStatusLine(progress), QStringLiteral("5,0 MB recibidos"));
    // Several servers at once: how many; for a moment, the one left for damaged data.
    progress.serversAtWork = 3;
    QCOMPARE(downloadStatusLine(progress), QStringLiteral("3 servidores · 5,0 MB recibidos"));
    progress.serversAtWork = 2;
    progress.damagedBy = QStringLiteral("http://mirror.example:8080/o/setup.sh");
    useLanguage(QStringLiteral("en_GB.UTF-8"));
    QCOMPARE(downloadStatusLine(progress),
             QStringLiteral("mirror.example:8080 sent damaged data; carrying on with 2 servers"));
    // Carrying on from an earlier run's bytes: while they are checked, then
    // before the rate.
    progress.damagedBy.clear();
    progress.serversAtWork = 0;
    progress.carriedFrom = 36 * 1000 * 1000;
    progress.phase = DownloadPhase::Preparing;
    QCOMPARE(statusLineNow(progress, std::nullopt), QStringLiteral("Carrying on from 36.0 MB"));
    progress.phase = DownloadPhase::Receiving;
    useLanguage(QStringLiteral("de_DE.UTF-8"));
    QCOMPARE(statusLineNow(progress, std::nullopt),
             QStringLiteral("Fortsetzung ab 36,0 MB · 5,0 MB empfangen"));
}

QTEST_GUILESS_MAIN(TestTransferStatus)
#include "tst_transfer_status.moc"
