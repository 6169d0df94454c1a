#include "core/thread_pool.h"

#include <algorithm>
#include <atomic>
#include <chrono>

namespace kvcodec {

struct ThreadPool::Job {
    unsigned threads;
    void* ctx;
    Fn fn;
    // The items not yet taken, [first, end): first in the low half, end in the high one.
    std::atomic<uint64_t> left;
    unsigned joined = 1; // slots handed out, the caller's first; under the pool's mutex
    std::atomic<unsigned> working{0}; // pool threads inside the job; changed under the mutex
    Job* later = nullptr;             // the next job on the pool's list

    Job(uint32_t count, unsigned threads, void* ctx, Fn fn)
        : threads(threads), ctx(ctx), fn(fn), left(uint64_t{count} << 32) {}

    static uint32_t first(uint64_t items) { return static_cast<uint32_t>(items); }
    static uint32_t end(uint64_t items) { return static_cast<uint32_t>(items >> 32); }
    bool open() const {
        const uint64_t items = left.load();
        return first(items) < end(items);
    }

    // Slot 1 takes items from the last down, every other slot from the first up. The caller is
    // slot 0 and a pool thread slot 1, so on two threads each keeps to its own end of the items,
    // phase after phase and frame after frame: what one phase writes, the next reads on the
    // processor that has it in its cache. Taken in turn, half of a frame's symbols would go from
    // one processor's cache to the other's (the analysis of a slice then takes 40% longer on two
    // threads than on one).
    void work(unsigned slot) {
        const bool fromEnd = slot == 1;
        uint64_t items = left.load();
        while (first(items) < end(items)) {
            const uint32_t item = fromEnd ? end(items) - 1 : first(items);
            const uint64_t rest = fromEnd ? uint64_t{item} << 32 | first(items)
                                          : uint64_t{end(items)} << 32 | (item + 1);
            if (left.compare_exchange_weak(items, rest)) {
                fn(ctx, item, slot);
                items = left.load();
            }
        }
    }
};

namespace {

// A sleeping thread takes tens of microseconds to wake (measured: 70 us a job of eight items on
// two threads), as long as the serial steps of a frame between its parallel ones. So a thread
// that would wait watches for a while first: after its job, for the next one, and the caller
// for the pool threads still inside its job. Between frames the watch runs out and they sleep.
constexpr std::chrono::microseconds kWatch{150};

template <typename Condition>
void watchWhile(Condition condition) {
    const auto until = std::chrono::steady_clock::now() + kWatch;
    while (condition() && std::chrono::steady_clock::now() < until) {
    }
}

} // namespace

unsigned ThreadPool::processorCount() {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

ThreadPool::~ThreadPool() {
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    for (std::thread& t : m_threads) {
        t.join();
    }
}

void ThreadPool::reserve(unsigned threads) {
    std::lock_guard lock(m_mutex);
    // The caller of a job is one of its threads.
    while (m_threads.size() + 1 < threads) {
        m_threads.emplace_back([this] { workerLoop(); });
    }
}

unsigned ThreadPool::threadCount() const {
    std::lock_guard lock(m_mutex);
    return static_cast<unsigned>(m_threads.size()) + 1;
}

ThreadPool::Job* ThreadPool::openJob() const {
    for (Job* job = m_jobs; job != nullptr; job = job->later) {
        if (job->joined < job->threads && job->open()) {
            return job;
        }
    }
    return nullptr;
}

void ThreadPool::runJob(uint32_t count, unsigned threads, void* ctx, Fn fn) {
    if (threads <= 1 || count <= 1) {
        for (uint32_t i = 0; i < count; ++i) {
            fn(ctx, i, 0);
        }
        return;
    }
    Job job(count, threads, ctx, fn);
    {
        std::lock_guard lock(m_mutex);
        job.later = m_jobs;
        m_jobs = &job;
        m_posted.fetch_add(1);
    }
    m_wake.notify_all();
    job.work(0);
    // Once the job is off the list no thread joins it; the ones inside finish their items and
    // leave, and then nothing refers to the job any more.
    std::unique_lock lock(m_mutex);
    Job** link = &m_jobs;
    while (*link != &job) {
        link = &(*link)->later;
    }
    *link = job.later;
    if (job.working.load() != 0) {
        lock.unlock();
        watchWhile([&] { return job.working.load() != 0; });
        lock.lock();
        m_left.wait(lock, [&] { return job.working.load() == 0; });
    }
}

void ThreadPool::workerLoop() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        Job* job = openJob();
        if (job == nullptr && !m_stop) {
            const uint32_t seen = m_posted.load();
            lock.unlock();
            watchWhile([&] { return m_posted.load() == seen; });
            lock.lock();
        }
        m_wake.wait(lock, [&] { return m_stop || (job = openJob()) != nullptr; });
        if (m_stop) {
            return;
        }
        const unsigned slot = job->joined++;
        ++job->working;
        lock.unlock();
        job->work(slot);
        lock.lock();
        if (--job->working == 0) {
            m_left.notify_all();
        }
    }
}

namespace {

// The pool and its share count. A library unloaded while instances are still open lets their
// pool go: joining its threads from the unloading code would wait forever on Windows, where
// that code holds the loader lock the threads need to end.
struct PoolRegistry {
    std::mutex mutex;
    ThreadPool* pool = nullptr;
    unsigned shares = 0;
};

PoolRegistry& registry() {
    static PoolRegistry r;
    return r;
}

} // namespace

SharedPool::SharedPool() {
    PoolRegistry& r = registry();
    std::lock_guard lock(r.mutex);
    if (r.pool == nullptr) {
        r.pool = new ThreadPool;
        r.pool->reserve(ThreadPool::processorCount());
    }
    ++r.shares;
    m_pool.reset(r.pool);
}

void SharedPool::GiveBack::operator()(ThreadPool* pool) const {
    {
        PoolRegistry& r = registry();
        std::lock_guard lock(r.mutex);
        if (--r.shares != 0) {
            return;
        }
        r.pool = nullptr;
    }
    delete pool;
}

} // namespace kvcodec
