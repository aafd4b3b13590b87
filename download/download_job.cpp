#include "download_job.h"

#include "file_system.h"
#include "progress.h"
#include "release_file.h"
#include "target_file.h"

DownloadJob::DownloadJob(FileSystem &fileSystem, const QString &folder, const QString &path,
                         const ReleasePin &pin)
    : m_fileSystem(fileSystem), m_folder(folder), m_path(path), m_pin(pin)
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

void DownloadJob::tick(qint64 msecs, bool waitingToRetry)
{
    if (m_run.phase != DownloadPhase::Receiving && m_run.phase != DownloadPhase::WaitingToRetry) {
        return;
    }
    // Sampled during a wait too, so that the rate falls as it should.
    m_run.meter.sample(m_target->size(), msecs);
    m_run.phase = waitingToRetry ? DownloadPhase::WaitingToRetry : DownloadPhase::Receiving;
}

DownloadProgress DownloadJob::progress() const
{
    const qint64 expected = expectedBytes();
    return {m_run.phase,      m_target ? m_target->size() : 0, expected,
            m_run.percentage, m_run.meter.bytesPerSecond(),    m_run.meter.secondsLeft(expected)};
}
