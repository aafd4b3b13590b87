#pragma once

#include "sha256.h"

#include <QByteArray>

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

// A SHA-256 computed on a thread of its own, so that hashing a download costs
// the transfer no time when a second core is free. Blocks are hashed in the
// order they are added; at most MaxQueued wait at a time, so memory stays
// bounded when the disk outruns the hash.
class BackgroundSha256 final
{
public:
    static constexpr int MaxQueued = 8;

    BackgroundSha256();
    ~BackgroundSha256();
    BackgroundSha256(const BackgroundSha256 &) = delete;
    BackgroundSha256 &operator=(const BackgroundSha256 &) = delete;

    // Queues a block; waits while MaxQueued blocks are waiting already.
    void addData(QByteArray block);
    // The buffer of a block already hashed, emptied, for the caller to fill
    // again; a null one when there is none yet. Fresh memory for every block
    // costs a page fault per page, which on some machines is more than the hash.
    QByteArray spareBlock();
    // The digest of every block added, once they are all hashed. Throws what
    // hashing threw.
    QByteArray result();

private:
    void work();

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<QByteArray> m_queue;
    std::deque<QByteArray> m_spare;
    bool m_hashing = false; // a block taken off the queue is being hashed
    bool m_stopping = false;
    std::exception_ptr m_failure;
    Sha256 m_sha256;
    std::thread m_worker;
};
