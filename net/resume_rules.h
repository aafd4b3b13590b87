#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// How a GET of one file carries on across its attempts: which validator may
// vouch for a piece, what an answer to a "Range" retry means, where the next
// attempt starts and whether a body broke off. Two versions of a file are
// never joined.
namespace NetRules {

// What a response's headers say, as far as these rules care.
struct Answer
{
    int status = 0;
    QString reason;
    std::optional<qint64> contentLength;
    QByteArray contentRange;
    QByteArray etag;
    QByteArray lastModified;
    QByteArray acceptRanges;
};

// "bytes first-last/total"
struct ByteRange
{
    qint64 first = 0;
    qint64 last = 0;
    qint64 total = -1; // "*": not said

    friend bool operator==(const ByteRange &, const ByteRange &) = default;
};
std::optional<ByteRange> parseContentRange(const QByteArray &value);

// The strong ETag, else Last-Modified; a weak ETag may stand for other bytes
// and never vouches for a piece. Empty: nothing does.
QByteArray chooseValidator(const QByteArray &etag, const QByteArray &lastModified);

// Whether value may go into a header as it is: visible ASCII and spaces only,
// nothing that could end the field or start another, and not too long.
bool isHeaderValue(QByteArrayView value);

// Where a GET of one file stands, across its attempts.
struct ResumeState
{
    QByteArray validator; // empty: no resuming
    bool acceptsRanges = false;
    qint64 total = -1;     // the file's size, when announced
    qint64 position = 0;   // the next byte to hand out
    qint64 furthest = 0;   // the furthest any attempt reached
    qint64 resumeFrom = 0; // where the attempt under way asked to start
    qint64 firstByte = 0;  // where the request asked to start, before any answer
    qint64 last = -1;      // the last byte asked for; -1: to the file's end

    // A request for the bytes from first to last (-1: to the end).
    static ResumeState from(qint64 first, qint64 last = -1);

    // Takes an answer that carries the whole file, from its first byte: its
    // validators and its length, which is the body's too (-1: not said).
    qint64 takeWholeFile(const Answer &answer);
    // Counts bytes handed out; true when they reach beyond every earlier attempt.
    bool advance(qint64 bytes);
    // Where the next attempt starts: where the reader is, when the server can
    // tell that the piece asked for belongs to the same file; else byte 0.
    qint64 nextStart() const;
    // Where the body asked for ends: one past its last byte; -1 when not known.
    qint64 end() const;
};

// What an answer to a retry that asked for the bytes from resumeFrom on means.
struct RetriedAnswer
{
    enum class Kind {
        CarryOn,    // a 206 for the range asked: the body goes on at bodyStart
        StartAgain, // a 200: the whole file again, from byte 0
        Refuse,     // a 206 that cannot be joined: text says why
        Failed,     // another status: a failure, retried if it may pass
    };
    Kind kind = Kind::Failed;
    qint64 bodyStart = 0;
    qint64 expected = -1; // the body's length, -1 when not said
    qint64 total = -1;    // the file's length from now on
    QString text;         // for Refuse and Failed, naming address

    friend bool operator==(const RetriedAnswer &, const RetriedAnswer &) = default;
};
RetriedAnswer judgeRetriedAnswer(const ResumeState &state, const Answer &answer,
                                 const QString &address);

// Whether a body that ended is short: an error, short of what the answer
// announced, or short of the file's announced end, whatever a piece said of itself.
bool bodyBrokeOff(bool failed, qint64 expected, qint64 handedOut, const ResumeState &state);

} // namespace NetRules
