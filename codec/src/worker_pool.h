// A fixed set of threads that share out the items of one job at a time. The calling thread
// takes part, so a pool of one thread starts none.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

namespace kvcodec {

class WorkerPool {
public:
    // 0 means one thread per processor.
    explicit WorkerPool(unsigned threads);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    unsigned size() const { return static_cast<unsigned>(m_threads.size()) + 1; }

    // Calls f(item, worker) for every item in [0, count); worker is below size().
    template <typename F>
    void run(uint32_t count, F&& f) {
        runJob(count, &f, [](void* ctx, uint32_t item, unsigned worker) {
            (*static_cast<std::remove_reference_t<F>*>(ctx))(item, worker);
        });
    }

    static unsigned processorCount();

private:
    using Fn = void (*)(void*, uint32_t, unsigned);
    struct Job {
        uint32_t generation = 0;
        uint32_t count = 0;
        void* ctx = nullptr;
        Fn fn = nullptr;
    };

    void runJob(uint32_t count, void* ctx, Fn fn);
    void workerLoop(unsigned worker);
    void work(const Job& job, unsigned worker);

    std::vector<std::thread> m_threads;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_done;
    Job m_job;
    bool m_stop = false;
    // The job's generation in the high half and its next item in the low half: a thread that
    // wakes after its job is over cannot take an item of the next one.
    std::atomic<uint64_t> m_next{0};
    std::atomic<uint32_t> m_finished{0};
};

} // namespace kvcodec
