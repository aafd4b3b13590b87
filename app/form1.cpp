#include "form1.h"

#include "controls.h"
#include "diagnostics.h"
#include "download_job.h"
#include "error_report.h"
#include "file_system.h"
#include "http_request.h"
#include "logo.h"
#include "manifest.h"
#include "manifest_fetch.h"
#include "manifest_reader.h"
#include "messages.h"
#include "paths.h"
#include "program_end.h"
#include "progress_bar.h"
#include "runtime_error.h"
#include "shell.h"
#include "stream.h"
#include "transfer_control.h"
#include "twips.h"
#include "version_selection.h"

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QScopeGuard>
#include <QScreen>
#include <QStringListModel>
#include <QTemporaryDir>

#include <algorithm>

Form1::Form1(const Platform &platform, const QString &baseUrls, const ManifestTrust &trust,
             QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      Inet1(platform.inet1), m_platform(platform), m_servers(splitServerList(baseUrls)),
      m_trust(trust)
{
    setWindowTitle(QStringLiteral(" OnLine Download Orbistane."));
    setWindowIcon(drawWindowIcon());
    setFixedSize(twips(6240), twips(ChoosingHeightTwips));
    createControls();

    connect(ComboVersion, &QComboBox::activated, this,
            [this] { runHandler([this] { ComboVersion_Click(); }); });
    connect(ButtonFolder, &QPushButton::clicked, this,
            [this] { runHandler([this] { ButtonFolder_Click(); }); });
    connect(Command1, &QPushButton::clicked, this,
            [this] { runHandler([this] { Command1_Click(); }); });
    connect(&Inet1, &TransferControl::StateChanged, this, [this](TransferState state) {
        runHandler([this, state] { Inet1_StateChanged(state); });
    });
    m_statusTimer.setInterval(500);
    connect(&m_statusTimer, &QTimer::timeout, this,
            [this] { runHandler([this] { showTransferStatus(); }); });

    // Centred on the screen it opens on.
    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
}

Form1::~Form1() = default;

void Form1::createControls()
{
    // Created back to front: a later sibling is drawn over an earlier one.
    Line2 = makeLine(this, QRect(0, twips(2400), twips(6600), 2), Qt::white);
    Label2 = makeLabel(this, twipsRect(120, 2640, 1575, 255), QStringLiteral("Downloading ..."));
    Label1 = makeLabel(this, twipsRect(120, 1200, 4815, 255),
                       QStringLiteral("Select version of Orbistane:"));
    Label3 = makeLabel(this, twipsRect(5160, 2640, 975, 255), QStringLiteral("0 %"));
    Label3->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    Label4 = makeLabel(this, twipsRect(120, 1920, 5535, 255),
                       QStringLiteral("< Select destiny folder >"));
    Label4->setAlignment(Qt::AlignCenter);
    Label4->setFrameStyle(QFrame::Box | QFrame::Plain);
    Line1 = makeLine(this, QRect(0, twips(2400), twips(6600), 1), palette().color(QPalette::Mid));
    Label5 = makeLabel(this, twipsRect(0, 0, 6255, 975), QString());
    setWhiteBackground(Label5);
    Line3 = makeLine(this, QRect(0, twips(960), twips(6240), 1), palette().color(QPalette::Mid));
    Image1 = makeLabel(this, twipsRect(5640, 120, 555, 735), QString());
    Image1->setPixmap(drawLogo());
    Label6 = makeLabel(this, twipsRect(360, 240, 5175, 255), QStringLiteral("Label6"));
    setWhiteBackground(Label6);
    Label7 = makeLabel(this, twipsRect(600, 480, 4695, 255),
                       QStringLiteral("https://www.orbistane.example/"));
    QFont bold = Label7->font();
    bold.setBold(true);
    Label7->setFont(bold);
    Label8 = makeLabel(this, twipsRect(1680, 2640, 3735, 255),
                       QStringLiteral("< select version >"));
    Label8->setAlignment(Qt::AlignCenter);

    ProgressBar = new ProgressBarControl(this);
    ProgressBar->setGeometry(twipsRect(120, 2880, 6015, 255));
    // Empty until a transfer starts, and the window grows to show it.
    LabelStatus = makeLabel(this, twipsRect(120, 3180, 6015, 255), QString());

    ComboVersion = new QComboBox(this);
    ComboVersion->setEditable(true);
    ComboVersion->setInsertPolicy(QComboBox::NoInsert);
    ComboVersion->setGeometry(twipsRect(120, 1440, 4815, 315));
    ComboVersion->setEditText(QStringLiteral("< select version >"));

    Command1 = new QPushButton(QStringLiteral("OK"), this);
    Command1->setGeometry(twipsRect(5040, 1200, 1095, 615));
    Command1->setAutoDefault(false);

    ButtonFolder = new QPushButton(QStringLiteral("..."), this);
    ButtonFolder->setGeometry(twipsRect(5760, 1920, 375, 255));
    ButtonFolder->setAutoDefault(false);

    setTabOrder(ComboVersion, Command1);
    setTabOrder(Command1, ButtonFolder);
    ComboVersion->setFocus();
}

void Form1::setLanguageListener(std::function<void(int)> listener)
{
    m_languageListener = std::move(listener);
}

void Form1::Form_Load()
{
    runHandler([this] {
        LanguageId = QString::number(InitLanguage(m_platform.shell));
        if (m_languageListener) {
            m_languageListener(LanguageId.toInt());
        }
        setWindowTitle(message(1));
        Label1->setText(message(2));
        Command1->setText(message(4));
        ComboVersion->setEditText(message(3));
        Label8->setText(message(3));
        Label2->setText(message(6));
        // An installed program's folder is the system's: downloads go to the user's.
        if (runsFromSharedFolder(m_place)) {
            m_proposedFolder = userDownloadFolder();
        }
        Label4->setText(defaultDestination(m_place, m_proposedFolder));
        Label6->setText(message(1));
        SelectedFile.clear();
        Downloading = false;
        LoadManifest();
    });
}

void Form1::LoadManifest()
{
    ManifestPath = QString::fromLatin1(Manifest::CopyName);
    TempDir = m_platform.shell.ExpandEnvironmentStrings(QStringLiteral("%TEMP%"));

    // The copy goes into a folder of our own, so that nothing planted at its name
    // in a shared temporary folder is followed; the folder and the copy go away
    // when this returns, also when it fails.
    // A member, so that an end in the middle (a signal) removes it too.
    m_manifestFolder = std::make_unique<QTemporaryDir>(
        joinPath(TempDir, QStringLiteral("orbistane-download-XXXXXX")));
    const auto removeFolder = qScopeGuard([this] { m_manifestFolder.reset(); });
    if (!m_manifestFolder->isValid()) {
        throw RuntimeError(ErrorNumber::PathAccess,
                           QStringLiteral("Cannot create a temporary folder in \"%1\": %2")
                               .arg(TempDir, m_manifestFolder->errorString()));
    }
    ManifestPath = joinPath(m_manifestFolder->path(), ManifestPath);
    LocalPath = ManifestPath;

    const FetchedManifest fetched = fetchManifest(
        m_platform.http, m_servers, m_trust,
        [this](const QString &address) { RemoteUrl = address; }, [this] { return hasEnded(); });
    m_platform.stream.SaveToFile(fetched.body, LocalPath);

    const std::unique_ptr<TextStream> text = m_platform.fileSystem.OpenTextFile(LocalPath);
    ManifestReader reader(m_trust.requiresSignature() ? Pinning::Required : Pinning::Optional,
                          fetched.folder);
    while (!text->AtEndOfStream()) {
        reader.take(text->ReadLine());
    }
    text->Close();
    m_platform.fileSystem.DeleteFile(ManifestPath);
    const ManifestContents &read = reader.result();
    logManifestNotes(read, RemoteUrl);
    m_releaseServers = read.servers;

    VersionLists lists = versionListsOf(read);
    VersionNames = std::move(lists.names);
    VersionFiles = std::move(lists.files);
    m_versionPins = std::move(lists.pins);
    VersionCount = static_cast<qint16>(std::max<qsizetype>(VersionNames.size(), 1));
    // The list shows the entries from 1 on; entry 0 stands for no release.
    const QStringList items = VersionNames.mid(1);

    // Filling the list must not pick an item: the text set at load stays. One
    // list model, not an item per entry: thousands of entries load at once.
    const QString shownText = ComboVersion->currentText();
    ComboVersion->setModel(new QStringListModel(items, ComboVersion));
    ComboVersion->setCurrentIndex(-1);
    ComboVersion->setEditText(shownText);
}

void Form1::ComboVersion_Click()
{
    const QString picked = ComboVersion->itemText(ComboVersion->currentIndex());
    const VersionPick pick = pickVersion(picked, VersionNames, VersionFiles);
    SelectedFile = pick.selectedFile;
    m_selectedIndex = pick.index;
    if (pick.caption) {
        Label8->setText(*pick.caption);
    }
}

ReleasePin Form1::selectedPin() const
{
    return listedPin(m_versionPins.value(m_selectedIndex), m_trust, SelectedFile);
}

template <typename Handler> void Form1::runHandler(Handler &&handler)
{
    if (hasEnded()) {
        return;
    }
    try {
        handler();
    } catch (const RuntimeError &error) {
        reportAndEnd(error);
    } catch (const std::exception &error) {
        // Nothing else may escape into Qt's event loop, which would end the
        // program without a word and leave the partial download behind.
        reportAndEnd(RuntimeError(ErrorNumber::InternalError,
                                  QStringLiteral("The program failed unexpectedly: %1")
                                      .arg(QString::fromLocal8Bit(error.what()))));
    }
}

void Form1::reportAndEnd(const RuntimeError &error)
{
    if (hasEnded()) {
        return;
    }
    // Before the report: a .part that is not kept goes before anyone reads it.
    const RuntimeError reported = m_job ? m_job->stop(error) : error;
    leaveTransfer();
    m_platform.errorReport.report(reported);
    End(1);
}

void Form1::End(int exitCode)
{
    if (hasEnded()) {
        return;
    }
    leaveTransfer();
    m_stage = Stage::Ended;
    // An unfinished download is deleted, not left to pass for a finished one.
    m_job.reset();
    m_manifestFolder.reset();
    m_platform.programEnd.end(exitCode);
}

bool Form1::yield()
{
    // A chunk takes microseconds: a turn for each would cost more than the
    // transfer, while one per millisecond still answers a click at once and
    // lets the bar and the label paint what each chunk set.
    if (!m_sinceYield.isValid() || m_sinceYield.nsecsElapsed() >= YieldIntervalNs) {
        QCoreApplication::processEvents();
        m_sinceYield.start();
    }
    return !hasEnded();
}
