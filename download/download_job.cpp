#include "download_job.h"

#include "byte_count.h"
#include "diagnostics.h"
#include "failure_texts.h"
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
                         const ReleasePin &pin, const QStringList &addresses, Sharing sharing)
    : m_fileSystem(fileSystem), m_folder(folder), m_path(path), m_pin(pin), m_addresses(addresses),
      m_servers(addresses)
{
    // Bytes from several servers are joined only where the SHA-256 checks the
    // whole, and written at their places only where the size is known.
    if (sharing == Sharing::AtOnce && addresses.size() > 1 && pin.pinsDigest() && pin.size > 0) {
        m_plan = std::make_unique<PiecePlan>(pin.size,
                                             pin.pinsPieces() ? pin.pieces.pieceBytes : PieceBytes,
                                             static_cast<int>(addresses.size()));
        m_serverFailures.resize(addresses.size());
        qCInfo(lcNet).noquote() << QStringLiteral("%1 comes from %2 servers at once, each piece %3")
                                       .arg(QFileInfo(path).fileName())
                                       .arg(addresses.size())
                                       .arg(pin.pinsPieces()
                                                ? QStringLiteral("checked as it lands")
                                                : QStringLiteral(
                                                      "checked with the whole at the end"));
    }
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

void DownloadJob::takeOverPart()
{
    std::unique_ptr<TargetFile> target = TargetFile::takeOver(m_path, m_pin);
    if (!target) {
        return;
    }
    const QString why = notCarriedOn(target->takenOver(), target->keepsOwners());
    if (!why.isEmpty()) {
        qCInfo(lcDownload).noquote()
            << QStringLiteral("%1 holds %2: it is replaced").arg(TargetFile::partPath(m_path), why);
        return;
    }
    m_target = std::move(target);
    if (m_sync) {
        m_target->setSync(m_sync);
    }
    m_carry = Carry{m_target->takenOver(), 0, true, 0, {}, -1};
    m_validator = m_carry.taken.validator;
    m_servedBy = m_carry.taken.address;
    m_recorded = m_carry.taken;
    if (m_plan) {
        m_target->allocate(m_pin.size);
    } else if (!m_pin.pinsDigest()) {
        // Nothing to check it against: the server's validator vouches for it.
        m_carry.checked = m_carry.taken.keptPrefix();
    }
}

QString DownloadJob::notCarriedOn(const PartRecord &record, bool keepsOwners) const
{
    if (record.file != QFileInfo(m_path).fileName()) {
        return QStringLiteral("another file, %1").arg(record.file);
    }
    if (m_pin.pinsDigest()) {
        return record.sha256 == m_pin.sha256 && record.size == m_pin.size
                   ? QString()
                   : QStringLiteral("another release of it (its SHA-256 or size differs)");
    }
    if (record.validator.isEmpty() || !keepsOwners) {
        return QStringLiteral("bytes nothing vouches for");
    }
    if (record.address != address()) {
        return QStringLiteral("bytes from another server, %1").arg(record.address);
    }
    if (record.size >= 0 && expectedBytes() >= 0 && record.size != expectedBytes()) {
        return QStringLiteral("another release of it (%1 bytes, now %2)")
            .arg(record.size)
            .arg(expectedBytes());
    }
    return {};
}

bool DownloadJob::checkNextKept()
{
    if (!m_carry.checking) {
        return false;
    }
    const bool pieces = m_pin.pinsPieces();
    const qint64 pieceBytes = pieces ? m_pin.pieces.pieceBytes : PieceBytes;
    if (m_plan) {
        if (m_carry.checked < m_pin.size) {
            const int piece = int(m_carry.checked / pieceBytes);
            const ByteSpan span = m_plan->pieceSpan(piece);
            m_carry.checked = span.end;
            // The last piece is fetched again in any case, so that the
            // transfer has a body to end.
            const bool last = piece + 1 == m_plan->pieceCount() &&
                              m_plan->wholePrefix() == span.begin;
            if (m_carry.taken.keeps(span) && !last &&
                m_target->checkKept(span.begin, span.size(),
                                    pieces ? m_pin.pieces.of(piece) : QByteArrayView())) {
                m_plan->keep(piece);
            }
            return true;
        }
        m_carry.from = m_plan->receivedBytes();
    } else {
        qint64 end = m_carry.taken.keptPrefix();
        if (expectedBytes() > 0) {
            end = std::min(end, expectedBytes() - 1);
        }
        if (m_carry.checked < end) {
            const ByteSpan span{m_carry.checked,
                                std::min(end, (m_carry.checked / pieceBytes + 1) * pieceBytes)};
            const int piece = int(span.begin / pieceBytes);
            // A piece with its own digest that does not match ends what is kept.
            const bool wholePiece = span.size() == pieceBytes ||
                                    (m_pin.size > 0 && span.end == m_pin.size);
            if (!m_target->checkKept(span.begin, span.size(),
                                     pieces && wholePiece ? m_pin.pieces.of(piece)
                                                          : QByteArrayView())) {
                m_carry.taken.kept = {ByteSpan{0, span.begin}};
                end = span.begin;
            } else {
                m_carry.checked = span.end;
            }
            if (m_carry.checked < end) {
                return true;
            }
        }
        m_carry.from = std::min(m_carry.checked, end);
        m_target->carryOnAt(m_carry.from);
        m_carry.validator = m_pin.pinsDigest() ? QByteArray() : m_validator;
    }
    m_carry.checking = false;
    qCInfo(lcDownload).noquote() << QStringLiteral(
                                        "Carrying on with %1 from byte %2 (%3 bytes kept)")
                                        .arg(TargetFile::partPath(m_path))
                                        .arg(m_plan ? m_plan->wholePrefix() : m_carry.from)
                                        .arg(m_carry.from);
    return false;
}

PartRecord DownloadJob::record() const
{
    PartRecord record;
    record.file = QFileInfo(m_path).fileName();
    record.size = expectedBytes();
    if (m_pin.pinsDigest()) {
        record.sha256 = m_pin.sha256;
    } else {
        record.address = m_servedBy;
        record.validator = m_validator;
    }
    if (m_plan) {
        record.kept = m_plan->wholeSpans();
    } else if (m_target && m_target->size() > 0) {
        record.kept = {ByteSpan{0, m_target->size()}};
    }
    return record;
}

bool DownloadJob::canCarryOn() const
{
    return m_target && (m_pin.pinsDigest() || (!m_validator.isEmpty() && m_target->keepsOwners()));
}

void DownloadJob::recordKept()
{
    const PartRecord now = record();
    if (!canCarryOn() || now == m_recorded) {
        return;
    }
    m_target->recordKept(now);
    m_recorded = now;
}

bool DownloadJob::suspend()
{
    if (!m_target) {
        return false;
    }
    bool kept = canCarryOn() && (m_carry.checking || !record().kept.isEmpty());
    try {
        // While the kept bytes are checked, its record still holds.
        if (kept && !m_carry.checking) {
            recordKept();
        }
    } catch (const RuntimeError &failure) {
        qCInfo(lcDownload).noquote() << failure.description();
        kept = false;
    }
    if (kept) {
        m_target->keep();
        qCInfo(lcDownload).noquote()
            << QStringLiteral("%1 is kept, to be carried on").arg(TargetFile::partPath(m_path));
    }
    m_target.reset();
    m_run = Run{DownloadPhase::Failed, 0, {}};
    return kept;
}

RuntimeError DownloadJob::stop(const RuntimeError &failure)
{
    const bool network = failure.number() == ErrorNumber::TransferFailed ||
                         failure.number() == ErrorNumber::RequestTimedOut;
    if (network && suspend()) {
        return {failure.number(),
                failure.description() +
                    QStringLiteral("\n\nWhat came is kept in \"%1\": the next download of "
                                   "\"%2\" carries on from there.")
                        .arg(TargetFile::partPath(m_path), QFileInfo(m_path).fileName())};
    }
    fail();
    return failure;
}

void DownloadJob::answered(const QString &contentLength, const QString &contentRange,
                           const QString &etag, const QString &lastModified)
{
    if (!m_pin.pinsDigest()) {
        m_validator = NetRules::chooseValidator(etag.toLatin1(), lastModified.toLatin1());
        m_servedBy = address();
    }
    if (m_run.phase == DownloadPhase::Preparing) {
        const bool carried = m_target != nullptr;
        if (!carried) {
            m_target = std::make_unique<TargetFile>(m_path, m_pin);
            if (m_sync) {
                m_target->setSync(m_sync);
            }
        }
        m_run = Run{DownloadPhase::Receiving, 0, {}};
        if (m_plan) {
            if (!carried) {
                m_target->allocate(m_pin.size);
            }
            return;
        }
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

bool DownloadJob::receive(const QByteArray &chunk, qint64 offset, int server)
{
    if (m_plan) {
        m_run.phase = DownloadPhase::Receiving;
        if (chunk.isEmpty()) {
            return false;
        }
        // Bytes of a span taken back meanwhile (the server failed, or was
        // left) come again from another server: these are not written.
        if (m_plan->position(server) != offset || m_plan->spanEnd(server) <= offset) {
            return false;
        }
        m_target->writeAt(offset, chunk);
        if (const std::optional<int> piece = m_plan->received(server, chunk.size())) {
            checkPiece(*piece);
        }
        m_target->wholeUpTo(m_plan->wholePrefix());
        m_run.percentage = nextPercentage(m_run.percentage, m_plan->receivedBytes(),
                                          expectedBytes());
        return false;
    }
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

void DownloadJob::checkPiece(int piece)
{
    if (!m_pin.pinsPieces()) {
        return;
    }
    const ByteSpan span = m_plan->pieceSpan(piece);
    if (m_target->sha256Of(span.begin, span.size()) == m_pin.pieces.of(piece)) {
        return;
    }
    const QList<int> senders = m_plan->damaged(piece);
    QStringList names;
    for (const int server : senders) {
        names.append(m_addresses.value(server));
    }
    const QString what = QStringLiteral("piece %1 (bytes %2 to %3) does not match its SHA-256")
                             .arg(piece + 1)
                             .arg(span.begin)
                             .arg(span.end - 1);
    // Only a piece one server sent tells who damaged it; it is fetched again
    // whole, from a server that sent none of it.
    if (senders.size() != 1) {
        qCInfo(lcNet).noquote() << QStringLiteral(
                                       "%1, sent by %2: fetching it again from one server")
                                       .arg(what, names.join(QStringLiteral(" and ")));
        return;
    }
    const int server = senders.constFirst();
    const QString address = m_addresses.value(server);
    m_plan->drop(server);
    m_serverFailures[server] =
        RuntimeError(ErrorNumber::ReleaseMismatch,
                     QStringLiteral("%1 sent damaged data: %2").arg(address, what));
    m_damagedBy = address;
    m_damagedAt = m_now;
    qCInfo(lcNet).noquote() << QStringLiteral("%1 sent damaged data: %2; left for this download, "
                                              "carrying on with %3 servers")
                                   .arg(address, what)
                                   .arg(m_plan->serversLeft());
}

std::optional<std::pair<qint64, qint64>> DownloadJob::nextSpan(int server)
{
    if (!m_plan) {
        return std::nullopt;
    }
    const std::optional<ByteSpan> span = m_plan->assign(server);
    if (!span) {
        return std::nullopt;
    }
    return std::pair{span->begin, span->end};
}

qint64 DownloadJob::spanEnd(int server) const
{
    return m_plan ? m_plan->spanEnd(server) : 0;
}

void DownloadJob::interrupted(int server)
{
    if (m_plan) {
        m_plan->interrupted(server);
    }
}

void DownloadJob::serverFailed(int server, const RuntimeError &failure)
{
    if (!m_plan || server < 0 || server >= m_serverFailures.size()) {
        return;
    }
    m_plan->drop(server);
    if (!m_serverFailures[server]) {
        m_serverFailures[server] = failure;
    }
}

bool DownloadJob::isWhole() const
{
    return m_plan && m_plan->isWhole();
}

qint64 DownloadJob::receivedBytes() const
{
    if (m_plan) {
        return m_plan->receivedBytes();
    }
    return m_target ? m_target->size() : 0;
}

NextServer DownloadJob::oneServerAtATime(qsizetype first, const QString &why)
{
    m_plan.reset();
    // Numbered as before, and reported with every server's reason if this
    // fails too: the ones before the first to try failed already.
    m_servers = ServerList(m_addresses);
    for (qsizetype i = 0; i < first; ++i) {
        m_servers.failed(
            m_serverFailures.value(i).value_or(RuntimeError(ErrorNumber::TransferFailed, why)));
    }
    qCInfo(lcNet).noquote()
        << QStringLiteral("%1 (%2); %3 now comes from one server at a time, from its first byte: "
                          "%4 (%5 of %6)")
               .arg(why.isEmpty() ? QStringLiteral("Several servers could not share it") : why,
                    QStringLiteral("several servers at once"), QFileInfo(m_path).fileName(),
                    address())
               .arg(m_servers.number())
               .arg(m_servers.size());
    // Without a .part yet, the next answer makes it, as the first would have.
    if (m_target) {
        m_run.phase = DownloadPhase::ChangingServer;
        m_run.percentage = 0;
        m_target->restart();
    }
    return {address(), 0};
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
    if (m_plan) {
        // The pieces each passed, or had no digests, yet the whole is not the
        // release: which server sent what cannot tell. One at a time can.
        if (failure.number() == ErrorNumber::ReleaseMismatch) {
            return oneServerAtATime(0, failure.description());
        }
        // A server that serves only whole files still may, one at a time.
        ServerList report(m_addresses);
        for (qsizetype i = 0; i < m_addresses.size(); ++i) {
            const std::optional<RuntimeError> &why = m_serverFailures.value(i);
            if (why && why->description() == FailureTexts::partsRefused(m_addresses[i])) {
                return oneServerAtATime(i, why->description());
            }
            report.failed(why.value_or(failure));
        }
        m_servers = report;
        throw report.report(QStringLiteral("\"%1\"").arg(QFileInfo(m_path).fileName()));
    }
    // Kept bytes that the whole does not match may be what was damaged: the
    // same server once more, from its first byte.
    if (failure.number() == ErrorNumber::ReleaseMismatch && m_carry.from > 0 && m_target) {
        qCInfo(lcDownload).noquote()
            << QStringLiteral("%1 with the bytes kept from an earlier run (%2); fetching it "
                              "again from its first byte")
                   .arg(QFileInfo(m_path).fileName(), failure.description());
        m_carry.from = 0;
        m_run.phase = DownloadPhase::ChangingServer;
        m_run.percentage = 0;
        m_target->restart();
        return {address(), 0};
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
    m_now = msecs;
    if (m_carry.from > 0 && m_carry.noticeUntil < 0) {
        m_carry.noticeUntil = msecs + CarryOnNoticeMsecs;
    }
    if (msecs - m_recordedAt >= RecordMsecs) {
        m_recordedAt = msecs;
        recordKept();
    }
    // Sampled during a wait too, so that the rate falls as it should.
    m_run.meter.sample(receivedBytes(), msecs);
    if (phase != DownloadPhase::ChangingServer) {
        m_run.phase = waitingToRetry ? DownloadPhase::WaitingToRetry : DownloadPhase::Receiving;
    }
}

DownloadProgress DownloadJob::progress() const
{
    const qint64 expected = expectedBytes();
    DownloadProgress progress{m_run.phase,
                              receivedBytes(),
                              expected,
                              m_run.percentage,
                              m_run.meter.bytesPerSecond(),
                              m_run.meter.secondsLeft(expected),
                              address(),
                              m_servers.number(),
                              std::max(m_servers.size(), 1),
                              0,
                              {},
                              -1};
    if (m_carry.checking) {
        progress.carriedFrom = m_carry.taken.keptBytes();
    } else if (m_carry.from > 0 && (m_carry.noticeUntil < 0 || m_now < m_carry.noticeUntil)) {
        progress.carriedFrom = m_carry.from;
    }
    if (m_plan) {
        progress.serversAtWork = m_plan->serversLeft();
        // The one server left is named, as one serving alone would be.
        for (int server = 0; progress.serversAtWork == 1 && server < m_addresses.size(); ++server) {
            if (!m_plan->isDropped(server)) {
                progress.address = m_addresses[server];
                progress.server = server + 1;
            }
        }
        if (!m_damagedBy.isEmpty() && m_now - m_damagedAt < DamageNoticeMsecs) {
            progress.damagedBy = m_damagedBy;
        }
    }
    return progress;
}
