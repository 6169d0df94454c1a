#include "core/thread_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

namespace kvcodec {
namespace {

// Every item once, on no more threads than the job allows, each thread on its own slot: the
// scratch memory a slot names is used by one thread at a time. Slot 0 goes up from the first
// item and slot 1 down from the last, so on two threads each has an end of its own.
void expectFairJob(ThreadPool& pool, uint32_t count, unsigned threads) {
    std::vector<std::atomic<int>> seen(count);
    std::vector<std::atomic<int>> busy(threads);
    std::atomic<bool> sharedSlot{false};
    std::mutex mutex;
    std::set<std::thread::id> ids;
    std::vector<uint32_t> up, down; // slot 0's items and slot 1's, in the order taken
    pool.run(count, threads, [&](uint32_t item, unsigned slot) {
        ASSERT_LT(slot, threads);
        sharedSlot = sharedSlot || busy[slot].fetch_add(1) != 0;
        ++seen[item];
        {
            std::lock_guard lock(mutex);
            ids.insert(std::this_thread::get_id());
            if (slot < 2) {
                (slot == 0 ? up : down).push_back(item);
            }
        }
        std::this_thread::yield();
        busy[slot].fetch_sub(1);
    });
    for (uint32_t i = 0; i < count; ++i) {
        EXPECT_EQ(seen[i].load(), 1) << "item " << i;
    }
    EXPECT_FALSE(sharedSlot);
    EXPECT_LE(ids.size(), threads);
    EXPECT_TRUE(std::is_sorted(up.begin(), up.end()));
    EXPECT_TRUE(std::is_sorted(down.rbegin(), down.rend()));
    if (threads == 2 && !up.empty() && !down.empty()) {
        EXPECT_LT(up.back(), down.back());
    }
}

TEST(ThreadPool, JobsHandOutEveryItemOnceWithinTheirThreadCount) {
    ThreadPool pool;
    pool.reserve(4);
    EXPECT_EQ(pool.threadCount(), 4u);
    for (const unsigned threads : {1u, 2u, 3u, 4u, 8u}) {
        for (const uint32_t count : {0u, 1u, 2u, 7u, 64u}) {
            SCOPED_TRACE(std::to_string(threads) + " threads, " + std::to_string(count));
            expectFairJob(pool, count, threads);
        }
    }
}

TEST(ThreadPool, JobsFromManyCallersShareOnePool) {
    ThreadPool pool;
    pool.reserve(3);
    std::vector<std::thread> callers;
    for (unsigned c = 0; c < 6; ++c) {
        callers.emplace_back([&pool, c] {
            for (int round = 0; round < 50; ++round) {
                expectFairJob(pool, 16 + c, 1 + c % 4);
            }
        });
    }
    for (std::thread& t : callers) {
        t.join();
    }
}

// A pool thread joins a job whether it is still watching for work after the job before (the
// next frame's step) or has gone to sleep (the next frame): each item of a two-thread job waits
// for the other to start, which only another thread can do.
TEST(ThreadPool, APoolThreadJoinsJobsPostedWhileItWatchesAndAfterItSleeps) {
    ThreadPool pool;
    pool.reserve(2);
    for (int round = 0; round < 200; ++round) {
        if (round % 2 == 1) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        std::atomic<int> started{0};
        std::atomic<bool> alone{false};
        pool.run(2, 2, [&](uint32_t, unsigned) {
            ++started;
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (started.load() < 2 && !alone) {
                alone = std::chrono::steady_clock::now() > until;
                std::this_thread::yield();
            }
        });
        ASSERT_FALSE(alone) << "round " << round << ": the job ran on its caller alone";
    }
}

TEST(ThreadPool, SharesOfTheLibraryPoolAreOnePool) {
    SharedPool first;
    SharedPool second;
    EXPECT_EQ(&*first, &*second);
    EXPECT_GE(first->threadCount(), ThreadPool::processorCount());
}

} // namespace
} // namespace kvcodec
