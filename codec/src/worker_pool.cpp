#include "worker_pool.h"

namespace kvcodec {

unsigned WorkerPool::processorCount() {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

WorkerPool::WorkerPool(unsigned threads) {
    const unsigned total = threads == 0 ? processorCount() : threads;
    m_threads.reserve(total - 1);
    for (unsigned i = 1; i < total; ++i) {
        m_threads.emplace_back([this, i] { workerLoop(i); });
    }
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    for (std::thread& t : m_threads) {
        t.join();
    }
}

void WorkerPool::work(unsigned worker) {
    for (uint32_t item = m_next.fetch_add(1); item < m_count; item = m_next.fetch_add(1)) {
        m_fn(m_ctx, item, worker);
    }
}

void WorkerPool::runJob(uint32_t count, void* ctx, Fn fn) {
    if (m_threads.empty() || count <= 1) {
        for (uint32_t i = 0; i < count; ++i) {
            fn(ctx, i, 0);
        }
        return;
    }
    {
        std::lock_guard lock(m_mutex);
        m_ctx = ctx;
        m_fn = fn;
        m_count = count;
        m_next.store(0);
        m_busy = static_cast<unsigned>(m_threads.size());
        ++m_generation;
    }
    m_wake.notify_all();
    work(0);
    std::unique_lock lock(m_mutex);
    m_done.wait(lock, [&] { return m_busy == 0; });
}

void WorkerPool::workerLoop(unsigned worker) {
    uint64_t seen = 0;
    for (;;) {
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [&] { return m_stop || m_generation != seen; });
            if (m_stop) {
                return;
            }
            seen = m_generation;
        }
        work(worker);
        std::lock_guard lock(m_mutex);
        if (--m_busy == 0) {
            m_done.notify_one();
        }
    }
}

} // namespace kvcodec
