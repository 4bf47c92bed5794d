// apply's work pool: how many pieces run at once, and what a stop leaves.
#include "cli/work_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace {

// Each piece stays under way a little, so that the pool's threads overlap.
struct Gauge {
    std::atomic<int> now{0};
    std::atomic<int> most{0};
    std::atomic<int> calls{0};

    void piece() {
        const int in = ++now;
        int seen = most;
        while (in > seen && !most.compare_exchange_weak(seen, in)) {
        }
        ++calls;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        --now;
    }
};

TEST(WorkPool, RunsEveryPieceOnceWithAtMostJobsAtATime) {
    struct Case {
        size_t count;
        uint32_t jobs;
        int most;
    };
    for (const Case& c : {Case{20, 4, 4}, Case{3, 8, 3}, Case{10, 1, 1}, Case{0, 8, 0}}) {
        SCOPED_TRACE(std::to_string(c.count) + " pieces, " + std::to_string(c.jobs) + " jobs");
        Gauge gauge;
        std::mutex mutex;
        std::vector<int> runs(c.count, 0);
        const auto started = run_bounded(c.count, c.jobs, [] { return false; }, [&](size_t i) {
            gauge.piece();
            std::lock_guard lock(mutex);
            ++runs[i];
        });
        EXPECT_EQ(started, std::vector<bool>(c.count, true));
        EXPECT_EQ(runs, std::vector<int>(c.count, 1));
        EXPECT_LE(gauge.most, c.most);
        // With pieces that overlap, the bound is also reached (a loose check:
        // each piece sleeps, so the threads meet).
        EXPECT_GE(gauge.most, c.most > 1 ? 2 : c.most);
    }
}

// A stop lets the pieces under way finish and starts no other: the started
// ones are a prefix, each of them ran to its end, and none of the rest ran.
TEST(WorkPool, AStopStartsNoFurtherPiece) {
    std::atomic<bool> stop{false};
    std::atomic<int> finished{0};
    std::atomic<int> begun_after_stop{0};
    std::vector<char> ran(40, 0);
    const auto started = run_bounded(40, 3, [&] { return stop.load(); }, [&](size_t i) {
        if (stop) {
            ++begun_after_stop;
        }
        if (i == 7) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            stop = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ran[i] = 1;
        ++finished;
    });
    size_t prefix = 0;
    while (prefix < started.size() && started[prefix]) {
        ++prefix;
    }
    EXPECT_GE(prefix, 8u);
    for (size_t i = 0; i < started.size(); ++i) {
        EXPECT_EQ(started[i], i < prefix) << i;
        EXPECT_EQ(ran[i] != 0, started[i]) << i;
    }
    EXPECT_EQ(finished, static_cast<int>(prefix));
    EXPECT_EQ(begun_after_stop, 0);  // no piece starts once the stop is asked
}

}  // namespace
