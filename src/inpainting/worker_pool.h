#pragma once

// A few threads kept for the length of one removal run, so each step's search
// can be shared out without starting threads every step.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace velmora {

class WorkerPool {
public:
    // Up to `threads` shares run at once, the caller's thread being one of them.
    // Fewer when the system will not give more threads.
    explicit WorkerPool(int threads);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    int size() const { return int(m_workers.size()) + 1; }
    // Calls job(0) on this thread and job(s) on each worker s that starts before
    // job(0) returns; returns when every started share is done. The job hands its
    // work out itself, so that job(0) alone would finish it: a busy system may
    // give a worker no time at all. Jobs must not throw.
    void run(const std::function<void(int)>& job);

private:
    void work(int share);

    std::vector<std::thread> m_workers;
    std::mutex m_mutex;
    std::condition_variable m_start;
    std::condition_variable m_done;
    std::atomic<const std::function<void(int)>*> m_job{nullptr};
    std::atomic<std::uint64_t> m_generation{0};  // changed under the mutex
    std::atomic<int> m_pending{0};               // shares of workers running now
    std::atomic<std::uint64_t> m_closed{0};      // the last generation job(0) has finished
    std::atomic<bool> m_quit{false};
};

// The thread count a run uses for `requested` (0: one per processor).
int effectiveThreadCount(int requested);

}  // namespace velmora
