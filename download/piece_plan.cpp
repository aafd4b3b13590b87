#include "piece_plan.h"

#include <algorithm>
#include <bit>
#include <limits>

namespace {

// Split points fall on this, so that a server's requests and writes start on
// whole blocks.
constexpr qint64 SplitAlignment = 64 * 1024;

quint32 bitOf(int server)
{
    return quint32(1) << server;
}

} // namespace

PiecePlan::PiecePlan(qint64 size, qint64 pieceBytes, int servers)
    : m_size(size), m_pieceBytes(pieceBytes), m_pieces((size + pieceBytes - 1) / pieceBytes),
      m_servers(servers), m_left(quint32((quint64(1) << servers) - 1))
{
    Q_ASSERT(size > 0 && pieceBytes > 0);
    Q_ASSERT(m_pieces.size() <= std::numeric_limits<int>::max());
    // A piece keeps its senders in one 32-bit mask.
    Q_ASSERT(servers > 0 && servers <= 32);
}

std::optional<ByteSpan> PiecePlan::assign(int server)
{
    Server &asking = m_servers[server];
    if (asking.left() > 0) {
        return ByteSpan{asking.position, asking.end};
    }
    if (isDropped(server)) {
        return std::nullopt;
    }
    std::optional<ByteSpan> span = takeGivenBack(server);
    while (m_nextPiece < pieceCount() && isWholePiece(m_nextPiece)) {
        ++m_nextPiece;
    }
    if (!span && m_nextPiece < pieceCount()) {
        span = pieceSpan(m_nextPiece++);
    }
    if (!span) {
        span = splitBusiest();
    }
    if (span) {
        asking.position = span->begin;
        asking.end = span->end;
    }
    return span;
}

qint64 PiecePlan::spanEnd(int server) const
{
    return m_servers[server].end;
}

qint64 PiecePlan::position(int server) const
{
    return m_servers[server].position;
}

std::optional<int> PiecePlan::received(int server, qint64 bytes)
{
    Server &from = m_servers[server];
    const qint64 counted = std::min(bytes, from.left());
    if (counted <= 0) {
        return std::nullopt;
    }
    // A span lies within one piece, so all these bytes are of the same one.
    const int index = int(from.position / m_pieceBytes);
    Piece &piece = m_pieces[index];
    piece.received += counted;
    piece.senders |= bitOf(server);
    m_receivedBytes += counted;
    from.position += counted;
    if (piece.received < pieceSpan(index).size()) {
        return std::nullopt;
    }
    countWhole();
    return index;
}

void PiecePlan::keep(int piece)
{
    Piece &kept = m_pieces[piece];
    if (isWholePiece(piece)) {
        return;
    }
    const qint64 size = pieceSpan(piece).size();
    m_receivedBytes += size - kept.received;
    kept.received = size;
    countWhole();
}

void PiecePlan::countWhole()
{
    ++m_wholePieces;
    while (m_wholeRun < pieceCount() && isWholePiece(m_wholeRun)) {
        ++m_wholeRun;
    }
}

bool PiecePlan::isWholePiece(int piece) const
{
    return m_pieces[piece].received == pieceSpan(piece).size();
}

QList<ByteSpan> PiecePlan::wholeSpans() const
{
    QList<ByteSpan> spans;
    for (int piece = 0; piece < pieceCount(); ++piece) {
        if (!isWholePiece(piece)) {
            continue;
        }
        const ByteSpan span = pieceSpan(piece);
        if (!spans.isEmpty() && spans.last().end == span.begin) {
            spans.last().end = span.end;
        } else {
            spans.append(span);
        }
    }
    return spans;
}

void PiecePlan::interrupted(int server)
{
    Server &broken = m_servers[server];
    if (broken.left() > 0) {
        giveBack({broken.position, broken.end}, 0);
    }
    broken.end = broken.position;
}

void PiecePlan::drop(int server)
{
    interrupted(server);
    m_left &= ~bitOf(server);
}

QList<int> PiecePlan::damaged(int piece)
{
    Piece &failed = m_pieces[piece];
    // Only a whole piece is checked: no server is busy in it, and none of it
    // is waiting to be given out.
    Q_ASSERT(failed.received == pieceSpan(piece).size());
    QList<int> senders;
    for (int server = 0; server < m_servers.size(); ++server) {
        if (failed.senders & bitOf(server)) {
            senders.append(server);
        }
    }
    // As one span, so that one server fetches all of it again: if it fails
    // its check once more, the fault is that server's.
    giveBack(pieceSpan(piece), failed.senders);
    m_receivedBytes -= failed.received;
    --m_wholePieces;
    m_wholeRun = std::min(m_wholeRun, piece);
    failed = {};
    return senders;
}

qint64 PiecePlan::wholePrefix() const
{
    return m_wholeRun < pieceCount() ? pieceSpan(m_wholeRun).begin : m_size;
}

int PiecePlan::pieceCount() const
{
    return int(m_pieces.size());
}

ByteSpan PiecePlan::pieceSpan(int piece) const
{
    const qint64 begin = piece * m_pieceBytes;
    return {begin, std::min(begin + m_pieceBytes, m_size)};
}

bool PiecePlan::isDropped(int server) const
{
    return (m_left & bitOf(server)) == 0;
}

int PiecePlan::serversLeft() const
{
    return std::popcount(m_left);
}

int PiecePlan::busyServers() const
{
    return int(std::count_if(m_servers.cbegin(), m_servers.cend(),
                             [](const Server &server) { return server.left() > 0; }));
}

void PiecePlan::giveBack(ByteSpan span, quint32 avoid)
{
    const auto at = std::lower_bound(
        m_givenBack.begin(), m_givenBack.end(), span.begin,
        [](const GivenBack &given, qint64 begin) { return given.span.begin < begin; });
    m_givenBack.insert(at, {span, avoid});
}

std::optional<ByteSpan> PiecePlan::takeGivenBack(int server)
{
    for (qsizetype i = 0; i < m_givenBack.size(); ++i) {
        const GivenBack &given = m_givenBack[i];
        // A server that sent bytes of a damaged piece may have sent the wrong
        // ones: it gets the piece only when no other is left to fetch it.
        if ((given.avoid & bitOf(server)) && (m_left & ~given.avoid)) {
            continue;
        }
        const ByteSpan span = given.span;
        m_givenBack.removeAt(i);
        return span;
    }
    return std::nullopt;
}

std::optional<ByteSpan> PiecePlan::splitBusiest()
{
    Server &busiest =
        *std::max_element(m_servers.begin(), m_servers.end(),
                          [](const Server &a, const Server &b) { return a.left() < b.left(); });
    const qint64 middle = busiest.position + busiest.left() / 2;
    const qint64 split = middle - middle % SplitAlignment;
    if (split - busiest.position < MinSplitBytes || busiest.end - split < MinSplitBytes) {
        return std::nullopt;
    }
    const ByteSpan back{split, busiest.end};
    busiest.end = split;
    return back;
}
