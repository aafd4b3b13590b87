#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <optional>
#include <utility>

class RuntimeError;

// States raised through StateChanged, with the numbers they have always had.
enum class TransferState {
    Error = 11,             // the request failed before its response: no body will come
    ResponseCompleted = 12, // the response is in: its headers, and its body through GetChunk
};

// An automatic retry that waits to start.
struct RetryWait
{
    int retry = 0;   // 1 for the first retry
    int retries = 0; // as many as will be made at most
    qint64 msecsLeft = 0;
};

// Where each server's requests go when one file is fetched from several
// servers at once (TransferControl::ExecutePieces): the spans it asks each
// for, and what became of them. The caller decides; the control only asks.
class PieceSource
{
public:
    virtual ~PieceSource() = default;
    // The first and the end (exclusive) of the next bytes to ask server for,
    // which is free now; none when there is nothing for it now (it may be
    // asked again later) or it is not to be asked any more.
    virtual std::optional<std::pair<qint64, qint64>> nextSpan(int server) = 0;
    // Where server's span ends now: sooner than asked when another server took
    // the rest of it, at once when the server was dropped. Bytes past it are
    // not handed out, and the request stops there.
    virtual qint64 spanEnd(int server) const = 0;
    // server's request broke off before its span's end, and is retried later:
    // the rest of its span goes to whoever is free.
    virtual void interrupted(int server) = 0;
    // server failed for this file: its retries are spent, or it did something no
    // retry mends (refused a range, sent a wrong one).
    virtual void serverFailed(int server, const RuntimeError &failure) = 0;
    // Whether every byte was handed out and taken: the body ends.
    virtual bool isWhole() const = 0;
    // The file's size, which every server's ranges must agree with.
    virtual qint64 fileSize() const = 0;
    // Whether server is still one to ask: false once it was left for this file.
    virtual bool serves(int server) const = 0;
};

// The internet transfer control: one request at a time, HEAD or GET, with the
// body handed out in chunks. Transient failures are retried inside: a body that
// breaks off carries on where it stopped when the server allows, or starts
// again from its first byte.
class TransferControl : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;
    ~TransferControl() override = default;

    // Starts the operation text's verb ("HEAD \"address\"" or "GET \"address\"")
    // on address and returns at once. Throws RuntimeError while a request is
    // still executing.
    virtual void Execute(const QString &address, const QString &operation) = 0;

    // Starts a GET of address for the bytes from offset on, as the same file
    // fetched from another server, or kept by an earlier run, carries on. With
    // a validator (the ETag or Last-Modified the bytes before came with), the
    // request carries it in If-Range, so that a file changed since comes whole;
    // without one nothing vouches that the server's copy matches the bytes
    // before, so only a caller that checks the whole file afterwards may omit
    // it. A 206 for that range goes on at offset; a 200 hands out the whole
    // file again from its first byte.
    virtual void ExecuteFrom(const QString &address, qint64 offset,
                             const QByteArray &validator) = 0;

    // Starts GETs of one file on each of addresses at once, one connection per
    // server, for the spans source gives each; GetChunk hands out their bytes as
    // they come, ChunkOffset and ChunkServer telling where each goes. The body
    // ends when source says the file is whole. A server that fails is retried
    // after its wait while the others carry on; GetChunk throws once none is
    // left. source must outlive the request.
    virtual void ExecutePieces(const QStringList &addresses, PieceSource &source) = 0;

    virtual bool StillExecuting() const = 0;

    // A response header, empty when absent.
    virtual QString GetHeader(const QString &name) const = 0;

    // The HTTP status of the last response; 0 when none came.
    virtual int GetStatus() const = 0;

    // The next 1 to size bytes of the body, waiting for them while the event
    // loop runs; empty only at the end of a complete body. Throws RuntimeError
    // when the body cannot be completed.
    virtual QByteArray GetChunk(int size) = 0;

    // Where in the file the last chunk GetChunk returned starts. It is lower
    // than the bytes handed out before only when the body started again from
    // its first byte (the file changed, or the server does not resume): what
    // was received must then be thrown away.
    virtual qint64 ChunkOffset() const = 0;

    // Which of ExecutePieces' addresses sent the last chunk (from 0); 0 otherwise.
    virtual int ChunkServer() const = 0;

    // The retry the request waits for, if it waits.
    virtual std::optional<RetryWait> PendingRetry() const = 0;

    // Stops the running request; no more data is delivered.
    virtual void Cancel() = 0;

    // What went wrong with the last request, naming its address; empty if nothing.
    virtual QString errorDescription() const = 0;

signals:
    void StateChanged(TransferState state);
};
