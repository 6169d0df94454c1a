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
    void runJob(uint32_t count, void* ctx, Fn fn);
    void workerLoop(unsigned worker);
    void work(unsigned worker);

    std::vector<std::thread> m_threads;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_done;
    uint64_t m_generation = 0;
    unsigned m_busy = 0;
    bool m_stop = false;
    void* m_ctx = nullptr;
    Fn m_fn = nullptr;
    uint32_t m_count = 0;
    std::atomic<uint32_t> m_next{0};
};

} // namespace kvcodec
