#pragma once

#include "default_destination.h"
#include "manifest_signature_policy.h"
#include "mirror_list.h"
#include "platform.h"
#include "release_pin.h"

#include <QElapsedTimer>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

class DownloadJob;
struct DownloadRoom;
class ProgressBarControl;
class QComboBox;
class QFrame;
class QLabel;
class QPushButton;
class QTemporaryDir;
class ReleaseFile;
class RuntimeError;
class TransferControl;
enum class TransferState;

// The main window. It owns the whole program state and handles every event;
// the state and the controls keep the names the rest of the program uses.
class Form1 final : public QWidget
{
    Q_OBJECT

public:
    // baseUrls: the folder of the manifest on each download server, separated
    // by commas; the manifest comes from the first that serves it.
    // trust: the vendor's keys and the signature's greatest age; with keys, the
    // manifest must be signed by one of them for manifest.txt, and every release
    // it lists must pin its SHA-256 and size.
    Form1(const Platform &platform, const QString &baseUrls, const ManifestTrust &trust = {},
          QWidget *parent = nullptr);
    ~Form1() override;

    // Runs once before the window is first shown. Afterwards hasEnded() tells
    // whether the program ended during it (an error already reported).
    void Form_Load();
    bool hasEnded() const { return m_stage == Stage::Ended; }

    // Called with the language number as soon as it is known.
    void setLanguageListener(std::function<void(int)> listener);

    // Where the program runs from, which decides the first destination; this
    // process's place unless set before Form_Load.
    void setProgramPlace(const ProgramPlace &place) { m_place = place; }

    // Handlers, reached through the controls' signals.
    void ComboVersion_Click();
    void ButtonFolder_Click();
    void Command1_Click();
    void Inet1_StateChanged(TransferState state);

    // Ends the program as a cancel does, without the question: for a
    // termination signal. The exit status is 128 plus the signal's number.
    void endBySignal(int signalNumber);

    // Program state.
    QString TempDir;
    QString ManifestPath;
    QString SelectedFile;
    QString LocalPath;
    QString RemoteUrl;
    QStringList VersionNames;
    QStringList VersionFiles;
    qint16 VersionCount = 0;
    bool Downloading = false;
    qint16 FileHandle = 0;
    qint32 RemoteSize = 0;

    // Controls.
    TransferControl &Inet1;
    QPushButton *ButtonFolder = nullptr;
    QPushButton *Command1 = nullptr;
    QComboBox *ComboVersion = nullptr;
    ProgressBarControl *ProgressBar = nullptr;
    QLabel *Label1 = nullptr;
    QLabel *Label2 = nullptr;
    QLabel *Label3 = nullptr;
    QLabel *Label4 = nullptr;
    QLabel *Label5 = nullptr;
    QLabel *Label6 = nullptr;
    QLabel *Label7 = nullptr;
    QLabel *Label8 = nullptr;
    // Under the bar while a transfer runs: rate and time left, or the retry awaited.
    QLabel *LabelStatus = nullptr;
    QFrame *Line1 = nullptr;
    QFrame *Line2 = nullptr;
    QFrame *Line3 = nullptr;
    QLabel *Image1 = nullptr;

    // The outer height the window takes while a transfer runs, in twips.
    static constexpr int TransferHeightTwips = 3630;
    // The client height while a release and a folder are chosen, in twips.
    static constexpr int ChoosingHeightTwips = 3240;
    static constexpr qint64 YieldIntervalNs = 1000 * 1000;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void createControls();
    void LoadManifest();
    ReleasePin selectedPin() const;
    bool isListedRelease(const ReleaseFile &release);
    // Whether the release fits in the destination folder's volume; if not,
    // says so and goes back to choosing.
    bool hasRoomFor(const DownloadRoom &room);
    // Refreshes LabelStatus; ticks while the transfer window shows.
    void showTransferStatus();
    // The transfer has ended: the status line stands still, and the desktop
    // may suspend again and shows no progress on the taskbar entry.
    void leaveTransfer();
    void StartDownload();
    qint32 GetRemoteFileSize(const QString &address);
    void receiveDownload();
    // The body, checked and under its final name; nothing when the program
    // ended or the download was cancelled meanwhile.
    std::optional<ReleaseFile> receiveRelease();
    // Leaves the server that failed for the next; throws the report of every
    // server's failure when none is left.
    void changeServer(const RuntimeError &failure);
    void askToCancel();
    void cancelDownload();
    void launchInstaller(const ReleaseFile &release);
    int ask(const QString &text, int flags);

    // Runs a handler; a failure it does not deal with is reported, then the
    // program ends. Nothing runs once the program has ended.
    template <typename Handler> void runHandler(Handler &&handler);
    void reportAndEnd(const RuntimeError &error);
    // Ends the program: the open target is closed, then the process stops.
    void End(int exitCode = 0);

    // Gives the event loop a turn, at most once per YieldInterval, so that a
    // fast transfer is not held up by the turns; false when the program ended.
    bool yield();

    Platform m_platform;
    // The manifest's folder on each download server, in the order tried.
    QStringList m_servers;
    // Where releases come from: the manifest's server, then its mirrors.
    ReleaseServers m_releaseServers;
    ManifestTrust m_trust;
    // What the manifest pins of each release, at the indices of VersionFiles.
    QList<ReleasePin> m_versionPins;
    qsizetype m_selectedIndex = -1;
    QElapsedTimer m_sinceYield;
    // Where the window's life stands. Downloading, which the handlers read,
    // is true from the transfer on.
    enum class Stage { Choosing, Probing, Transferring, Ended };
    Stage m_stage = Stage::Choosing;
    // While the cancel question is open, a state change waits for its answer.
    bool m_askingCancel = false;
    std::optional<TransferState> m_deferredState;
    // The download from the size probe on; an unfinished one deletes its file
    // when reset.
    std::unique_ptr<DownloadJob> m_job;
    // The private folder the manifest is copied to while it is read.
    std::unique_ptr<QTemporaryDir> m_manifestFolder;
    std::function<void(int)> m_languageListener;
    ProgramPlace m_place = thisProgramPlace();
    // The user's download folder when it is the one proposed at start.
    QString m_proposedFolder;
    QTimer m_statusTimer;
    QElapsedTimer m_transferClock;
};
