#include "form1.h"

#include "byte_count.h"
#include "default_destination.h"
#include "desktop_session.h"
#include "diagnostics.h"
#include "download_job.h"
#include "file_system.h"
#include "messages.h"
#include "paths.h"
#include "progress.h"
#include "progress_bar.h"
#include "prompt.h"
#include "release_file.h"
#include "release_pin.h"
#include "runtime_error.h"
#include "shell.h"
#include "transfer_control.h"
#include "transfer_status.h"
#include "twips.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QFile>
#include <QLabel>
#include <QPushButton>

#include <algorithm>
#include <optional>
#include <utility>

namespace {
constexpr QLatin1String CrLf("\r\n");
}

int Form1::ask(const QString &text, int flags)
{
    return m_platform.prompt.ask(text, flags, message(1));
}

void Form1::Command1_Click()
{
    // The size probe lets events run; a click there would start a second
    // download while the control is still busy with the probe.
    if (m_stage == Stage::Probing) {
        return;
    }
    const QString folder = Label4->text();
    if (folder.startsWith(QLatin1Char('<'))) {
        ask(message(22), PromptFlags::Information);
        return;
    }
    if (Downloading) {
        askToCancel();
        return;
    }
    int answer = PromptAnswer::Yes;
    if (SelectedFile.isEmpty()) {
        ask(message(10), PromptFlags::Information);
        return;
    }

    ButtonFolder->setEnabled(false);
    ComboVersion->setEnabled(false);
    // The caption as it stands, so at the root folder this path has "//".
    const QString existing = joinPath(folder, SelectedFile);
    if (m_platform.fileSystem.FileExists(existing)) {
        // On Yes the older file stays until the new one is whole and takes its
        // place: a failed or cancelled download must not cost the user it.
        answer = ask(message(11) + SelectedFile + message(12) + CrLf + message(13),
                     PromptFlags::Information | PromptFlags::YesNo);
    }
    if (answer != PromptAnswer::Yes) {
        // Held open from here on: what is checked and started is this very file,
        // not whatever the name leads to by then.
        const ReleaseFile release = ReleaseFile::open(existing);
        if (ask(message(14) + CrLf + message(15) + SelectedFile + message(16),
                PromptFlags::YesNo) == PromptAnswer::Yes &&
            isListedRelease(release)) {
            launchInstaller(release);
        }
        End();
        return;
    }

    if (folder.endsWith(QLatin1Char('/'))) {
        Label4->setText(folder.chopped(1));
    }
    // The height counts the frame; the window is sized by its client area,
    // which must also show the status line under the bar, whatever the frame.
    const int frameExtra = frameGeometry().height() - geometry().height();
    setFixedHeight(std::max(twips(TransferHeightTwips) - frameExtra,
                            LabelStatus->geometry().bottom() + 1 + twips(90)));
    Command1->setText(message(5));
    LocalPath = joinPath(Label4->text(), SelectedFile);
    LabelStatus->clear();
    m_transferClock.start();
    m_statusTimer.start();
    StartDownload();
}

bool Form1::hasRoomFor(const DownloadRoom &room)
{
    if (room.fits()) {
        return true;
    }
    ask(message(35).arg(formatBytes(room.neededBytes), formatBytes(room.freeBytes)),
        PromptFlags::Warning);
    // Back to choosing, so that another folder can be picked.
    m_statusTimer.stop();
    m_job.reset();
    setFixedHeight(twips(ChoosingHeightTwips));
    Command1->setText(message(4));
    ButtonFolder->setEnabled(true);
    ComboVersion->setEnabled(true);
    return false;
}

void Form1::showTransferStatus()
{
    if (!m_job) {
        return;
    }
    const std::optional<RetryWait> retry = Inet1.PendingRetry();
    m_job->tick(m_transferClock.elapsed(), retry.has_value());
    const DownloadProgress progress = m_job->progress();
    if (const std::optional<QString> line = statusLineNow(progress, retry)) {
        LabelStatus->setText(*line);
    }
    if (Downloading) {
        m_platform.desktop.showProgress(taskbarProgress(progress));
    }
}

void Form1::leaveTransfer()
{
    // A box that follows (the error) must not bring the progress back.
    m_statusTimer.stop();
    if (!Downloading) {
        return;
    }
    m_platform.desktop.releaseSuspend();
    m_platform.desktop.showProgress(std::nullopt);
}

bool Form1::isListedRelease(const ReleaseFile &release)
{
    const ReleasePin pin = selectedPin();
    if (!pin.pinsDigest() || release.sha256() == pin.sha256) {
        return true;
    }
    ask(message(23) + SelectedFile + message(24), PromptFlags::Warning);
    return false;
}

void Form1::StartDownload()
{
    const ReleasePin pin = selectedPin();
    const QStringList servers = m_releaseServers.forRelease(pin);
    QStringList addresses;
    for (const QString &server : servers) {
        addresses.append(server + SelectedFile);
    }
    if (servers.size() < m_releaseServers.all().size()) {
        qCInfo(lcNet).noquote() << SelectedFile << "is not pinned: mirrors over http are left out";
    }
    m_job = std::make_unique<DownloadJob>(m_platform.fileSystem, Label4->text(), LocalPath, pin,
                                          addresses);
    const QString address = m_job->address();
    m_stage = Stage::Probing;
    RemoteSize = GetRemoteFileSize(address);
    if (hasEnded()) {
        return;
    }
    m_stage = Stage::Choosing;
    if (!hasRoomFor(m_job->room())) {
        return;
    }
    // The user's download folder, proposed at start, may not be there yet; only now
    // is it needed. A folder picked in the dialog that has gone since is an error.
    if (!m_proposedFolder.isEmpty() && Label4->text() == m_proposedFolder) {
        makeDestinationFolder(m_proposedFolder);
    }
    // Only now: the probe's own completion must find Downloading false.
    Downloading = true;
    m_stage = Stage::Transferring;
    // Until the transfer ends, however it ends; a laptop that slept would break it off.
    m_platform.desktop.holdSuspend(message(43).arg(VersionNames.value(m_selectedIndex)));
    // What an earlier run left of this release is checked before anything is
    // asked for; a cancel or a signal meanwhile ends it like a transfer.
    m_job->takeOverPart();
    while (m_job->checkNextKept()) {
        if (!yield()) {
            return;
        }
    }
    if (m_job->fetchesPieces()) {
        Inet1.ExecutePieces(m_job->addresses(), *m_job);
    } else if (const qint64 from = m_job->carriedFrom(); from > 0) {
        Inet1.ExecuteFrom(address, from, m_job->carriedValidator());
    } else {
        Inet1.Execute(address, QLatin1String("GET \"") + address + QLatin1Char('"'));
    }
}

qint32 Form1::GetRemoteFileSize(const QString &address)
{
    try {
        Inet1.Execute(address, QLatin1String("HEAD \"") + address + QLatin1Char('"'));
        while (Inet1.StillExecuting()) {
            // The control only moves on through events, so sleep until the
            // next one instead of spinning.
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            if (hasEnded()) {
                return -1;
            }
        }
        m_job->takeProbe(Inet1.GetStatus(), Inet1.GetHeader(QStringLiteral("Content-length")));
    } catch (const RuntimeError &) {
        // Without a size the bar stays empty; the download itself says what fails.
        m_job->takeProbe(0, {});
    }
    return m_job->remoteSize();
}

void Form1::Inet1_StateChanged(TransferState state)
{
    if (m_askingCancel) {
        // Receiving now would run the whole transfer underneath the open
        // question, and a Yes would only be seen once it was over.
        m_deferredState = state;
        return;
    }
    const bool receiving = m_job && m_job->isReceiving();
    if (state == TransferState::Error) {
        // The response will never come: without this the window would wait
        // for it forever.
        if (Downloading && !receiving) {
            changeServer(RuntimeError(ErrorNumber::TransferFailed, Inet1.errorDescription()));
        }
        return;
    }
    if (state != TransferState::ResponseCompleted || !Downloading || receiving) {
        return;
    }
    FileHandle = 1;
    try {
        receiveDownload();
    } catch (const RuntimeError &) {
        // Reported, and the .part kept or deleted, in one place.
        if (!hasEnded()) {
            Inet1.Cancel();
        }
        throw;
    }
}

void Form1::receiveDownload()
{
    std::optional<ReleaseFile> release;
    try {
        release = receiveRelease();
    } catch (const RuntimeError &failure) {
        if (hasEnded()) {
            throw;
        }
        changeServer(failure);
        return;
    }
    if (!release) {
        return;
    }
    qCInfo(lcDownload).noquote() << QStringLiteral("%1 is whole: %2 bytes")
                                        .arg(LocalPath)
                                        .arg(m_job->progress().receivedBytes);
    // Said under the bar while the question stands, not the last estimate.
    showTransferStatus();
    // A question left open must not keep the machine awake.
    leaveTransfer();

    if (ask(message(14) + CrLf + message(15) + SelectedFile + message(16), PromptFlags::YesNo) ==
        PromptAnswer::Yes) {
        launchInstaller(*release);
    }
    End();
}

std::optional<ReleaseFile> Form1::receiveRelease()
{
    m_job->answered(Inet1.GetHeader(QStringLiteral("Content-length")),
                    Inet1.GetHeader(QStringLiteral("Content-Range")),
                    Inet1.GetHeader(QStringLiteral("ETag")),
                    Inet1.GetHeader(QStringLiteral("Last-Modified")));
    qint16 barPercentage = -1; // none set yet
    for (;;) {
        const QByteArray chunk = Inet1.GetChunk(ChunkSize);
        if (!yield()) {
            return std::nullopt;
        }
        if (m_job->receive(chunk, Inet1.ChunkOffset(), Inet1.ChunkServer())) {
            qCInfo(lcDownload).noquote()
                << QStringLiteral("%1 comes again from its first byte: starting over")
                       .arg(SelectedFile);
            barPercentage = -1;
            ProgressBar->empty();
        }
        const qint16 percentage = m_job->percentage();
        // The same value again changes nothing on the bar, and a size that is
        // not known would have 0 % refused, thrown and caught for every chunk.
        if (percentage != barPercentage) {
            barPercentage = percentage;
            try {
                ProgressBar->setBarValue(percentage);
            } catch (const RuntimeError &) {
                // 0 % lies below the bar's range; the bar stays as it was.
            }
        }
        Label3->setText(QString::number(percentage) + QLatin1String(" %"));
        if (chunk.isEmpty()) {
            break;
        }
        if (!yield()) {
            return std::nullopt;
        }
    }
    return m_job->finish();
}

void Form1::changeServer(const RuntimeError &failure)
{
    const QString failed = m_job->address();
    const bool atOnce = m_job->fetchesPieces();
    // Throws when no server is left, or none would do better.
    const NextServer next = m_job->afterFailure(failure);
    const DownloadProgress progress = m_job->progress();
    // From several servers at once, the job says itself why one goes on.
    if (!atOnce) {
        qCInfo(lcNet).noquote() << QStringLiteral(
                                       "%1 failed (%2); now from %3 (%4 of %5), from byte %6")
                                       .arg(failed, failure.description(), next.address)
                                       .arg(progress.server)
                                       .arg(progress.servers)
                                       .arg(next.from);
    }
    if (next.from == 0) {
        ProgressBar->empty();
        Label3->setText(QStringLiteral("0 %"));
    }
    Inet1.Cancel();
    // Another server vouches for nothing before: the pin checks the whole.
    Inet1.ExecuteFrom(next.address, next.from, {});
}

void Form1::askToCancel()
{
    m_askingCancel = true;
    const int answer = ask(message(8) + SelectedFile + message(9),
                           PromptFlags::Question | PromptFlags::YesNo);
    m_askingCancel = false;
    const std::optional<TransferState> deferred = std::exchange(m_deferredState, std::nullopt);
    if (hasEnded()) {
        return;
    }
    if (answer == PromptAnswer::Yes) {
        cancelDownload();
    } else if (deferred) {
        Inet1_StateChanged(*deferred);
    }
}

void Form1::cancelDownload()
{
    qCInfo(lcDownload).noquote() << "Cancelled by the user:" << SelectedFile;
    Inet1.Cancel();
    // The user asked to stop: the .part goes; an older file at the final name stays.
    m_job->fail();
    End();
}

void Form1::endBySignal(int signalNumber)
{
    if (hasEnded()) {
        return;
    }
    qCInfo(lcDownload).noquote() << "Ended by signal" << signalNumber;
    Inet1.Cancel();
    // Not the user's choice to stop this download: the next run carries on.
    if (m_job) {
        m_job->suspend();
    }
    End(128 + signalNumber);
}

void Form1::launchInstaller(const ReleaseFile &release)
{
    const auto changed = [this, &release] {
        qCInfo(lcDownload).noquote()
            << QStringLiteral("%1 was replaced or changed after it was checked: not started")
                   .arg(release.path());
        ask(message(23) + SelectedFile + message(36), PromptFlags::Warning);
    };
    // The question may have stood open for a while, and the folder is not ours
    // alone: only the file that was checked may start.
    if (!release.isUnchangedAtPath()) {
        changed();
        return;
    }
    try {
        const ReleasePin pin = selectedPin();
        m_platform.shell.Run(release.checked(pin.pinsDigest() ? pin.sha256 : QByteArray()));
    } catch (const RuntimeError &error) {
        if (error.number() == ErrorNumber::ReleaseMismatch) {
            changed();
            return;
        }
        // Nothing was started; the user must not take the silence for success.
        ask(error.description(), PromptFlags::Warning);
    }
}

void Form1::closeEvent(QCloseEvent *event)
{
    if (hasEnded() || !(Downloading || m_stage == Stage::Probing)) {
        event->accept();
        return;
    }
    // Closing during a transfer is one more way to ask for the cancel; No lets
    // the transfer go on.
    try {
        askToCancel();
    } catch (const RuntimeError &error) {
        reportAndEnd(error);
    }
    event->setAccepted(hasEnded());
}
