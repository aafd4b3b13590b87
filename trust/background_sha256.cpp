#include "background_sha256.h"

BackgroundSha256::BackgroundSha256() : m_worker(&BackgroundSha256::work, this) {}

BackgroundSha256::~BackgroundSha256()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_queue.clear();
    }
    m_changed.notify_all();
    m_worker.join();
}

void BackgroundSha256::addData(QByteArray block)
{
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return m_queue.size() < MaxQueued; });
    m_queue.push_back(std::move(block));
    lock.unlock();
    m_changed.notify_all();
}

QByteArray BackgroundSha256::spareBlock()
{
    const std::lock_guard lock(m_mutex);
    if (m_spare.empty()) {
        return {};
    }
    QByteArray block = std::move(m_spare.front());
    m_spare.pop_front();
    return block;
}

QByteArray BackgroundSha256::result()
{
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return m_queue.empty() && !m_hashing; });
    if (m_failure) {
        std::rethrow_exception(m_failure);
    }
    // The worker waits for the next block and touches nothing meanwhile.
    return m_sha256.result();
}

void BackgroundSha256::work()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
        if (m_stopping) {
            return;
        }
        QByteArray block = std::move(m_queue.front());
        m_queue.pop_front();
        m_hashing = true;
        lock.unlock();
        m_changed.notify_all();
        std::exception_ptr failure;
        try {
            m_sha256.addData(block);
        } catch (...) {
            failure = std::current_exception();
        }
        // Emptied here, where nobody else holds it: it keeps its memory.
        block.resize(0);
        lock.lock();
        if (failure && !m_failure) {
            m_failure = failure;
        }
        if (m_spare.size() <= MaxQueued) {
            m_spare.push_back(std::move(block));
        }
        m_hashing = false;
        m_changed.notify_all();
    }
}
