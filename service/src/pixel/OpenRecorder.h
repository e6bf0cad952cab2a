// OpenRecorder: the opens of concurrent pixel requests, written together. A
// request hands its open over and waits; one writer thread takes whatever has
// gathered, writes it in one transaction and tells every waiter how it went.
// So every open is committed before its request is answered, and a burst of
// requests costs one commit, not one each.
#pragma once

#include "storage/Storage.h"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace quorvia {

class OpenRecorder
{
public:
    explicit OpenRecorder(Storage &storage, size_t maxBatch = 512);
    ~OpenRecorder();
    OpenRecorder(const OpenRecorder &) = delete;
    OpenRecorder &operator=(const OpenRecorder &) = delete;

    // Returns once the open is committed: true, or false when the storage
    // refused the batch it was in (nothing of that batch is kept).
    bool Record(Open open);

private:
    struct Pending;
    void Run();

    Storage &m_storage;
    const size_t m_maxBatch;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::shared_ptr<Pending>> m_queue;
    bool m_stopping = false;
    std::thread m_writer;
};

} // namespace quorvia
