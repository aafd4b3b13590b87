#include "download_job.h"

#include "file_system.h"
#include "progress.h"
#include "release_file.h"
#include "runtime_error.h"
#include "target_file.h"

#include <QFileInfo>

#include <algorithm>

DownloadJob::DownloadJob(FileSystem &fileSystem, const QString &folder, const QString &path,
                         const ReleasePin &pin, const QStringList &addresses)
    : m_fileSystem(fileSystem), m_folder(folder), m_path(path), m_pin(pin), m_addresses(addresses)
{
}

DownloadJob::~DownloadJob() = default;

void DownloadJob::announce(qint64 bytes)
{
    m_announcedBytes = bytes;
}

qint64 DownloadJob::expectedBytes() const
{
    // What the manifest pins is known better than anything a server says.
    return isSizePinned() ? m_pin.size : m_announcedBytes;
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
    return room;
}

void DownloadJob::start()
{
    m_target = std::make_unique<TargetFile>(m_path, m_pin);
    m_run = Run{DownloadPhase::Receiving, 0, {}};
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

std::optional<qint64> DownloadJob::moveOn(const RuntimeError &failure)
{
    m_failures.append(failure.description());
    m_failureNumber = failure.number();
    if (m_server + 1 >= m_addresses.size()) {
        return std::nullopt;
    }
    ++m_server;
    if (!m_target) {
        return 0;
    }
    const qint64 written = m_target->size();
    // Bytes that may be another version of the file, joined to the next
    // server's, pass only when the SHA-256 checks the whole at the end.
    if (m_pin.pinsDigest() && failure.number() != ErrorNumber::ReleaseMismatch &&
        (expectedBytes() < 0 || written < expectedBytes())) {
        m_run.phase = DownloadPhase::ChangingServer;
        return written;
    }
    m_target->restart();
    m_run.percentage = 0;
    m_run.phase = DownloadPhase::ChangingServer;
    return 0;
}

RuntimeError DownloadJob::failureReport() const
{
    if (m_failures.size() == 1) {
        return {m_failureNumber, m_failures.constFirst()};
    }
    QString text = QStringLiteral("\"%1\" could not be downloaded from any of its %2 servers:")
                       .arg(QFileInfo(m_path).fileName())
                       .arg(m_failures.size());
    for (qsizetype i = 0; i < m_failures.size(); ++i) {
        // Each names its server, most in their own words already.
        const QString &reason = m_failures[i];
        const QString &address = m_addresses.value(i);
        text += QStringLiteral("\n%1. ").arg(i + 1) +
                (reason.contains(address) ? reason : address + QLatin1String(": ") + reason);
    }
    return {m_failureNumber, text};
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
            static_cast<int>(m_server) + 1,
            static_cast<int>(std::max<qsizetype>(m_addresses.size(), 1))};
}
