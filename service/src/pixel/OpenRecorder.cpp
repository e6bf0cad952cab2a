#include "pixel/OpenRecorder.h"

#include "util/Log.h"

#include <atomic>
#include <stdexcept>
#include <vector>

namespace quorvia {

// A waiter sleeps on its own word, not on the queue's mutex: woken, it
// returns without queueing for that mutex behind the rest of its batch.
struct OpenRecorder::Pending
{
    enum State : int { Waiting, Kept, Refused };
    Open open;
    std::atomic<int> state{Waiting};
};

OpenRecorder::OpenRecorder(Storage &storage, size_t maxBatch)
    : m_storage(storage), m_maxBatch(maxBatch), m_writer([this] { Run(); })
{
}

OpenRecorder::~OpenRecorder()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_writer.join();
}

bool OpenRecorder::Record(Open open)
{
    auto pending = std::make_shared<Pending>();
    pending->open = std::move(open);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping)
            return false;
        m_queue.push_back(pending);
    }
    m_wake.notify_one();
    pending->state.wait(Pending::Waiting);
    return pending->state.load() == Pending::Kept;
}

void OpenRecorder::Run()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
        if (m_queue.empty())
            return; // stopping, and nothing is waiting
        std::vector<std::shared_ptr<Pending>> batch;
        while (!m_queue.empty() && batch.size() < m_maxBatch) {
            batch.push_back(std::move(m_queue.front()));
            m_queue.pop_front();
        }
        lock.unlock();
        std::vector<Open> opens;
        opens.reserve(batch.size());
        for (const auto &pending : batch)
            opens.push_back(pending->open);
        std::vector<bool> kept(batch.size(), true);
        try {
            m_storage.AddOpens(opens);
        } catch (const std::invalid_argument &) {
            // One open's message went (deleted or purged since its token was
            // found), and the batch with it: the others are kept one by one.
            for (size_t i = 0; i < opens.size(); ++i) {
                try {
                    m_storage.AddOpens({opens[i]});
                } catch (const std::invalid_argument &) {
                    // its message is gone: nothing to record, and nothing failed
                } catch (const std::exception &e) {
                    kept[i] = false;
                    Log("open not recorded: %s", e.what());
                }
            }
        } catch (const std::exception &e) {
            kept.assign(batch.size(), false);
            Log("opens not recorded (%zu): %s", opens.size(), e.what());
        }
        for (size_t i = 0; i < batch.size(); ++i) {
            batch[i]->state.store(kept[i] ? Pending::Kept : Pending::Refused);
            batch[i]->state.notify_one();
        }
        lock.lock();
    }
}

} // namespace quorvia
