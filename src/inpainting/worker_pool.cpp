#include "worker_pool.h"

#include <algorithm>
#include <chrono>
#include <system_error>

namespace velmora {

namespace {
constexpr int kMaxThreads = 64;
// Steps follow each other within a fraction of a millisecond, so a thread that
// waits a little before sleeping is usually there for the next one; waking a
// sleeping thread costs about as much as a small search.
constexpr auto kSpin = std::chrono::microseconds(200);

template <class Done>
void spinUntil(Done done) {
    const auto until = std::chrono::steady_clock::now() + kSpin;
    while (!done()) {
        for (int i = 0; i < 64 && !done(); ++i) {
#if defined(__x86_64__)
            __builtin_ia32_pause();
#endif
        }
        if (std::chrono::steady_clock::now() > until) return;
    }
}
}  // namespace

int effectiveThreadCount(int requested) {
    if (requested <= 0) requested = int(std::max(1u, std::thread::hardware_concurrency()));
    return std::min(requested, kMaxThreads);
}

WorkerPool::WorkerPool(int threads) {
    for (int share = 1; share < threads; ++share) {
        try {
            m_workers.emplace_back([this, share] { work(share); });
        } catch (const std::system_error&) {
            break;  // run with the threads there are
        }
    }
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_quit = true;
        m_generation.fetch_add(1);
    }
    m_start.notify_all();
    for (std::thread& t : m_workers) t.join();
}

void WorkerPool::run(const std::function<void(int)>& job) {
    if (m_workers.empty()) {
        job(0);
        return;
    }
    std::uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_job.store(&job);
        generation = m_generation.fetch_add(1) + 1;
    }
    m_start.notify_all();
    job(0);
    // A worker that has not started by now finds nothing left: it must not hold
    // this thread up, however late the system lets it run.
    m_closed.store(generation);
    spinUntil([this] { return m_pending.load() == 0; });
    std::unique_lock<std::mutex> lock(m_mutex);
    m_done.wait(lock, [this] { return m_pending.load() == 0; });
    m_job.store(nullptr);
}

void WorkerPool::work(int share) {
    std::uint64_t seen = 0;
    for (;;) {
        spinUntil([&] { return m_generation.load() != seen; });
        // Only a thread that has to sleep takes the mutex: the caller holds it
        // while it hands out a job, and a spinning thread that asked for it then
        // would be put to sleep and woken late.
        if (m_generation.load() == seen) {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_start.wait(lock, [&] { return m_generation.load() != seen; });
        }
        if (m_quit.load()) return;
        seen = m_generation.load();
        // Should this be a later job than `seen`, the job of `seen` is closed by
        // now, and nothing is run.
        const std::function<void(int)>* job = m_job.load();
        // Counted before the check, so the caller either waits for this share
        // or this share sees the job closed.
        m_pending.fetch_add(1);
        if (m_closed.load() < seen) (*job)(share);
        if (m_pending.fetch_sub(1) == 1) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done.notify_one();
        }
    }
}

}  // namespace velmora
