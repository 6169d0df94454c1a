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

void WorkerPool::work(const Job& job, unsigned worker) {
    const uint64_t tag = uint64_t{job.generation} << 32;
    uint64_t next = m_next.load();
    for (;;) {
        if ((next & ~0xFFFFFFFFull) != tag || static_cast<uint32_t>(next) >= job.count) {
            return;
        }
        if (!m_next.compare_exchange_weak(next, next + 1)) {
            continue;
        }
        job.fn(job.ctx, static_cast<uint32_t>(next), worker);
        if (m_finished.fetch_add(1) + 1 == job.count) {
            std::lock_guard lock(m_mutex);
            m_done.notify_all();
        }
        next = m_next.load();
    }
}

void WorkerPool::runJob(uint32_t count, void* ctx, Fn fn) {
    if (m_threads.empty() || count <= 1) {
        for (uint32_t i = 0; i < count; ++i) {
            fn(ctx, i, 0);
        }
        return;
    }
    Job job;
    {
        std::lock_guard lock(m_mutex);
        job = {m_job.generation + 1, count, ctx, fn};
        m_job = job;
        m_finished.store(0);
        m_next.store(uint64_t{job.generation} << 32);
    }
    m_wake.notify_all();
    work(job, 0);
    // Wait for the items that others took, not for the others: a thread that has not woken up
    // yet finds nothing left to do.
    std::unique_lock lock(m_mutex);
    m_done.wait(lock, [&] { return m_finished.load() == count; });
}

void WorkerPool::workerLoop(unsigned worker) {
    uint32_t seen = 0;
    for (;;) {
        Job job;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [&] { return m_stop || m_job.generation != seen; });
            if (m_stop) {
                return;
            }
            job = m_job;
            seen = job.generation;
        }
        work(job, worker);
    }
}

} // namespace kvcodec
