#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

// States raised through StateChanged.
namespace TransferState {
inline constexpr int Error = 11;
inline constexpr int ResponseCompleted = 12;
}

// The internet transfer control: one request at a time, HEAD or GET, with the
// body handed out in chunks.
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

    virtual bool StillExecuting() const = 0;

    // A response header, empty when absent.
    virtual QString GetHeader(const QString &name) const = 0;

    // The HTTP status of the last response; 0 when none came.
    virtual int GetStatus() const = 0;

    // The next 1 to size bytes of the body, waiting for them while the event
    // loop runs; empty only at the end of a complete body. Throws RuntimeError
    // when the body cannot be completed.
    virtual QByteArray GetChunk(int size) = 0;

    // Stops the running request; no more data is delivered.
    virtual void Cancel() = 0;

    // What went wrong with the last request, naming its address; empty if nothing.
    virtual QString errorDescription() const = 0;

signals:
    void StateChanged(int state);
};
