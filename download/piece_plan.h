#pragma once

#include <QList>
#include <QtGlobal>

#include <optional>

// Bytes [begin, end) of a file.
struct ByteSpan
{
    qint64 begin = 0;
    qint64 end = 0;

    qint64 size() const { return end - begin; }
    bool operator==(const ByteSpan &) const = default;
};

// Which server fetches which bytes of one file fetched from several servers at
// once, and which pieces of it are whole. It decides; the transfer asks it for
// a span whenever a server is free and tells it what each server handed out.
//
// Every byte is asked of one server at a time, so a piece's bytes are counted
// once. A fast server comes back for more sooner and so takes more pieces; once
// none is left to give, a free server takes the back half of the span with the
// most still to come, so that a slow server never holds the end back.
class PiecePlan
{
public:
    // Below this, a span is not split: another request would cost more than it saves.
    static constexpr qint64 MinSplitBytes = 256 * 1024;

    // size: the file's, above 0; pieceBytes: the unit a digest checks, above 0;
    // servers: how many may serve it, numbered from 0.
    PiecePlan(qint64 size, qint64 pieceBytes, int servers);

    // The next span for server, which has none: bytes given back by another
    // server first (a piece that failed its check only to a server that sent
    // none of it, while one that did not is left), then the first piece nobody
    // took yet, then the back half of the busiest span when both halves are at
    // least MinSplitBytes. None when the server was dropped or nothing is left
    // to give it; it may get one later, when bytes are given back. A server that
    // still has a span gets what is left of it.
    std::optional<ByteSpan> assign(int server);
    // Where server's span ends now: sooner than assigned once another server
    // took its back half. Its position when it has no span.
    qint64 spanEnd(int server) const;
    // Where server's span stands: its next byte to come.
    qint64 position(int server) const;
    // server handed out bytes at its position. A span that is done frees the
    // server. Returns the piece these bytes made whole, if they did. Bytes past
    // the span's end are not counted: the caller cuts them off.
    std::optional<int> received(int server, qint64 bytes);
    // server's span broke off: what it had not handed out goes back, to be
    // given to the next server that asks.
    void interrupted(int server);
    // server is asked for nothing more in this download; what its span had
    // still to come goes back.
    void drop(int server);
    // A piece failed its check: all its bytes go back, to be fetched again.
    // Returns the servers that sent any of them, in ascending order.
    QList<int> damaged(int piece);

    // A piece an earlier run left whole, and checked: it is not asked for.
    void keep(int piece);
    // The whole pieces, as spans of the file, joined where they touch.
    QList<ByteSpan> wholeSpans() const;

    bool isWhole() const { return m_wholePieces == pieceCount(); }
    // The end of the file's beginning that is whole: every piece before it is.
    qint64 wholePrefix() const;
    // Bytes received of the pieces, counting a damaged piece's no more.
    qint64 receivedBytes() const { return m_receivedBytes; }
    int pieceCount() const;
    ByteSpan pieceSpan(int piece) const;
    bool isDropped(int server) const;
    // Servers not dropped, and of them those with a span now.
    int serversLeft() const;
    int busyServers() const;

private:
    struct Piece
    {
        qint64 received = 0;
        quint32 senders = 0; // a bit a server
    };
    struct Server
    {
        qint64 position = 0;
        qint64 end = 0; // its position when it has no span

        qint64 left() const { return end - position; }
    };
    struct GivenBack
    {
        ByteSpan span;
        quint32 avoid = 0; // servers it goes to only when no other is left
    };

    bool isWholePiece(int piece) const;
    // One more piece is whole.
    void countWhole();
    void giveBack(ByteSpan span, quint32 avoid);
    std::optional<ByteSpan> takeGivenBack(int server);
    std::optional<ByteSpan> splitBusiest();

    qint64 m_size;
    qint64 m_pieceBytes;
    QList<Piece> m_pieces;
    QList<Server> m_servers;
    QList<GivenBack> m_givenBack; // by begin
    quint32 m_left;               // servers not dropped, a bit each
    int m_nextPiece = 0;          // the first piece nobody took yet
    int m_wholeRun = 0;           // the first piece not whole
    qint64 m_receivedBytes = 0;
    int m_wholePieces = 0;
};
