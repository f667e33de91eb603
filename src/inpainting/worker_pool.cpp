#include "worker_pool.h"

#include <algorithm>
#include <system_error>

namespace velmora {

namespace {
constexpr int kMaxThreads = 64;
}

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
    }
    m_start.notify_all();
    for (std::thread& t : m_workers) t.join();
}

void WorkerPool::run(const std::function<void(int)>& job) {
    if (m_workers.empty()) {
        job(0);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_job = &job;
        m_pending = int(m_workers.size());
        ++m_generation;
    }
    m_start.notify_all();
    job(0);
    std::unique_lock<std::mutex> lock(m_mutex);
    m_done.wait(lock, [this] { return m_pending == 0; });
    m_job = nullptr;
}

void WorkerPool::work(int share) {
    std::uint64_t seen = 0;
    for (;;) {
        const std::function<void(int)>* job = nullptr;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_start.wait(lock, [&] { return m_quit || m_generation != seen; });
            if (m_quit) return;
            seen = m_generation;
            job = m_job;
        }
        (*job)(share);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            --m_pending;
        }
        m_done.notify_one();
    }
}

}  // namespace velmora
