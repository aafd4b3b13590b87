#pragma once

#include "runtime_error.h"
#include "transfer_control.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QTest>

#include <algorithm>

// Reads a transfer's body from inside its ResponseCompleted handler, as the
// main window does: a chunk that starts below what was read means the body
// came again from its first byte, and what was read before is thrown away.
struct TransferReader
{
    QList<TransferState> states;
    QByteArray body;
    bool ended = false;
    QString failure;
    int largestChunk = 0;
    int restarts = 0;
    bool joinedWrongly = false;
    bool executingAtState = false;

    // read: whether the body is read inside the handler.
    void attach(TransferControl &inet, bool read = true)
    {
        QObject::connect(&inet, &TransferControl::StateChanged, &inet,
                         [this, &inet, read](TransferState state) {
                             states.append(state);
                             executingAtState = inet.StillExecuting();
                             if (state != TransferState::ResponseCompleted) {
                                 failure = inet.errorDescription();
                             } else if (read) {
                                 readBody(inet);
                             }
                         });
    }

    // To the end of the body, or until at least `until` bytes are in.
    void readBody(TransferControl &inet, qsizetype until = -1)
    {
        try {
            while (until < 0 || body.size() < until) {
                const QByteArray chunk = inet.GetChunk(1024);
                if (inet.ChunkOffset() < body.size()) {
                    ++restarts;
                    body.clear();
                }
                joinedWrongly |= inet.ChunkOffset() != body.size();
                if (chunk.isEmpty()) {
                    ended = true;
                    return;
                }
                largestChunk = std::max(largestChunk, int(chunk.size()));
                body += chunk;
            }
        } catch (const RuntimeError &error) {
            failure = error.description();
        }
    }

    bool done() const { return ended || !failure.isEmpty(); }

    // A GET of address, read to its end or its failure in the event loop.
    static TransferReader get(TransferControl &inet, const QString &address, int msecs = 20000)
    {
        TransferReader reader;
        reader.attach(inet);
        inet.Execute(address, QStringLiteral("GET \"%1\"").arg(address));
        [&] { QTRY_VERIFY_WITH_TIMEOUT(reader.done(), msecs); }();
        inet.disconnect(&inet);
        return reader;
    }
};
