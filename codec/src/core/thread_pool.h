// The library's threads: one pool per loaded library, shared by every encoder and decoder. Each
// job is shared out among at most as many threads as its caller allows, the caller's own among
// them, so one instance's thread count never depends on what the others do, and a job always
// makes progress even when every pool thread is busy with another.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

namespace kvcodec {

class ThreadPool {
public:
    ThreadPool() = default;
    ~ThreadPool();

    static unsigned processorCount();

    // Grows the pool so that a job may run on `threads` threads at once.
    void reserve(unsigned threads);
    unsigned threadCount() const;

    // Calls f(item, slot) for every item in [0, count) on at most `threads` threads, and returns
    // when all are done. slot is below `threads` and names one thread's part of the job, for
    // working memory of its own.
    template <typename F>
    void run(uint32_t count, unsigned threads, F&& f) {
        runJob(count, threads, &f, [](void* ctx, uint32_t item, unsigned slot) {
            (*static_cast<std::remove_reference_t<F>*>(ctx))(item, slot);
        });
    }

private:
    using Fn = void (*)(void*, uint32_t, unsigned);
    struct Job;

    void runJob(uint32_t count, unsigned threads, void* ctx, Fn fn);
    void workerLoop();
    Job* openJob() const;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_left;
    // Jobs that may still take more threads, linked through the jobs themselves, which live on
    // their callers' stacks: a frame allocates nothing.
    Job* m_jobs = nullptr;
    std::vector<std::thread> m_threads;
    bool m_stop = false;
    // Counts the jobs posted, so that an idle thread can watch for the next one a while without
    // the mutex before it sleeps.
    std::atomic<uint32_t> m_posted{0};
};

// A counted share of the library's one pool. The first share starts it and the last one stops
// it and joins its threads, so threads are only ever joined by a caller that closes an instance,
// never by the code that unloads the library.
class SharedPool {
public:
    SharedPool();

    ThreadPool& operator*() const { return *m_pool; }
    ThreadPool* operator->() const { return m_pool.get(); }

private:
    struct GiveBack {
        void operator()(ThreadPool* pool) const;
    };
    std::unique_ptr<ThreadPool, GiveBack> m_pool;
};

} // namespace kvcodec
