#include "download_job.h"

#include "byte_count.h"
#include "diagnostics.h"
#include "file_system.h"
#include "progress.h"
#include "release_file.h"
#include "remote_size.h"
#include "resume_rules.h"
#include "runtime_error.h"
#include "target_file.h"

#include <QFileInfo>

#include <algorithm>
#include <limits>

DownloadJob::DownloadJob(FileSystem &fileSystem, const QString &folder, const QString &path,
                         const ReleasePin &pin, const QStringList &addresses)
    : m_fileSystem(fileSystem), m_folder(folder), m_path(path), m_pin(pin), m_servers(addresses)
{
    if (addresses.size() > 1) {
        qCInfo(lcNet).noquote() << QStringLiteral("%1 may come from %2 servers, in this order: %3")
                                       .arg(QFileInfo(path).fileName())
                                       .arg(addresses.size())
                                       .arg(addresses.join(QStringLiteral(", ")));
    }
}

DownloadJob::~DownloadJob() = default;

void DownloadJob::takeProbe(int status, const QString &contentLength)
{
    // A value only the looser rule of the size field reads ("12.5", "+300")
    // still sizes the bar.
    announce(status < 200 || status > 299 ? -1
                                          : parseByteCount(QStringView(contentLength).trimmed())
                                                .value_or(parseRemoteSize(contentLength)));
    qCInfo(lcDownload).noquote() << QStringLiteral("%1 into %2: %3 bytes expected (%4), SHA-256 %5")
                                        .arg(address(), m_path, QString::number(expectedBytes()),
                                             isSizePinned()
                                                 ? QStringLiteral("pinned by the manifest")
                                                 : QStringLiteral("as the server announced"),
                                             m_pin.pinsDigest() ? QStringLiteral("pinned")
                                                                : QStringLiteral("not pinned"));
}

void DownloadJob::announce(qint64 bytes)
{
    m_announcedBytes = bytes;
}

qint64 DownloadJob::expectedBytes() const
{
    // What the manifest pins is known better than anything a server says.
    return isSizePinned() ? m_pin.size : m_announcedBytes;
}

qint32 DownloadJob::remoteSize() const
{
    const qint64 expected = expectedBytes();
    return expected > 0 && expected <= std::numeric_limits<qint32>::max()
               ? static_cast<qint32>(expected)
               : -1;
}

DownloadRoom DownloadJob::room() const
{
    DownloadRoom room;
    room.neededBytes = expectedBytes();
    if (room.neededBytes <= 0) {
        return room;
    }
    room.freeBytes = m_fileSystem.FreeBytes(m_folder);
    // A .part left by a killed run is replaced, so its room is free too.
    if (room.freeBytes >= 0) {
        room.freeBytes += TargetFile::reclaimableBytes(m_path);
    }
    if (!room.fits()) {
        qCInfo(lcDownload).noquote()
            << QStringLiteral("%1 needs %2 bytes and %3 has %4 bytes free")
                   .arg(QFileInfo(m_path).fileName(), QString::number(room.neededBytes), m_folder,
                        QString::number(room.freeBytes));
    }
    return room;
}

void DownloadJob::answered(const QString &contentLength, const QString &contentRange)
{
    if (m_run.phase == DownloadPhase::Preparing) {
        m_target = std::make_unique<TargetFile>(m_path, m_pin);
        m_run = Run{DownloadPhase::Receiving, 0, {}};
    }
    // Another server's copy of a release no pin sizes may be of another size.
    // A piece's length is not the file's: its range tells the whole.
    if (m_servers.number() > 1 && !isSizePinned()) {
        const std::optional<NetRules::ByteRange> range =
            NetRules::parseContentRange(contentRange.toLatin1());
        announce(range ? range->total
                       : parseByteCount(QStringView(contentLength).trimmed()).value_or(-1));
    }
}

bool DownloadJob::receive(const QByteArray &chunk, qint64 offset)
{
    // The release changed on the server, or the server cannot carry on where
    // a drop left off. The rate carries on through it.
    const bool startsOver = offset < m_target->size();
    if (startsOver) {
        m_target->restart();
        m_run.percentage = 0;
    }
    m_target->write(chunk);
    m_run.phase = DownloadPhase::Receiving;
    m_run.percentage = nextPercentage(m_run.percentage, m_target->size(), expectedBytes());
    return startsOver;
}

ReleaseFile DownloadJob::finish()
{
    ReleaseFile release = m_target->finish();
    m_run.phase = DownloadPhase::Finished;
    return release;
}

void DownloadJob::fail()
{
    m_target.reset();
    m_run = Run{DownloadPhase::Failed, 0, {}};
}

bool DownloadJob::isServerFailure(const RuntimeError &failure)
{
    switch (failure.number()) {
    case ErrorNumber::TransferFailed:
    case ErrorNumber::RequestTimedOut:
    case ErrorNumber::ReleaseMismatch:
        return true;
    default:
        return false;
    }
}

NextServer DownloadJob::afterFailure(const RuntimeError &failure)
{
    if (!isServerFailure(failure)) {
        throw failure;
    }
    if (!m_servers.failed(failure)) {
        throw m_servers.report(QStringLiteral("\"%1\"").arg(QFileInfo(m_path).fileName()));
    }
    if (!m_target) {
        return {address(), 0};
    }
    m_run.phase = DownloadPhase::ChangingServer;
    const qint64 written = m_target->size();
    // Bytes that may be another version of the file, joined to the next
    // server's, pass only when the SHA-256 checks the whole at the end.
    if (m_pin.pinsDigest() && failure.number() != ErrorNumber::ReleaseMismatch &&
        (expectedBytes() < 0 || written < expectedBytes())) {
        return {address(), written};
    }
    m_target->restart();
    m_run.percentage = 0;
    return {address(), 0};
}

bool DownloadJob::isReceiving() const
{
    return m_run.phase != DownloadPhase::Preparing && m_run.phase != DownloadPhase::ChangingServer;
}

void DownloadJob::tick(qint64 msecs, bool waitingToRetry)
{
    const DownloadPhase phase = m_run.phase;
    if (phase != DownloadPhase::Receiving && phase != DownloadPhase::WaitingToRetry &&
        phase != DownloadPhase::ChangingServer) {
        return;
    }
    // Sampled during a wait too, so that the rate falls as it should.
    m_run.meter.sample(m_target->size(), msecs);
    if (phase != DownloadPhase::ChangingServer) {
        m_run.phase = waitingToRetry ? DownloadPhase::WaitingToRetry : DownloadPhase::Receiving;
    }
}

DownloadProgress DownloadJob::progress() const
{
    const qint64 expected = expectedBytes();
    return {m_run.phase,
            m_target ? m_target->size() : 0,
            expected,
            m_run.percentage,
            m_run.meter.bytesPerSecond(),
            m_run.meter.secondsLeft(expected),
            address(),
            m_servers.number(),
            std::max(m_servers.size(), 1)};
}
