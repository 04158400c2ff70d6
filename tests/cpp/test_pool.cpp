// The worker pool: exact coverage of the index range, concurrent and nested
// callers, a fresh pool after fork, and the RAYON_NUM_THREADS parser.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "child_process.hpp"
#include "pool.hpp"

namespace vantrel {
namespace {

struct Ranges {
    std::mutex mutex;
    std::vector<std::pair<uint64_t, uint64_t>> seen;
};

// True when the recorded ranges tile [0, count) exactly and every range but
// the last holds at least min_chunk items.
bool tiles_exactly(std::vector<std::pair<uint64_t, uint64_t>> ranges, uint64_t count, uint64_t min_chunk) {
    std::sort(ranges.begin(), ranges.end());
    uint64_t at = 0;
    for (size_t k = 0; k < ranges.size(); ++k) {
        const auto [b, e] = ranges[k];
        if (b != at || e <= b) return false;
        if (k + 1 < ranges.size() && e - b < min_chunk) return false;
        at = e;
    }
    return at == count;
}

bool covers_once(uint64_t count, uint64_t min_chunk) {
    Ranges r;
    parallel_for(count, min_chunk, [&](uint64_t b, uint64_t e) {
        std::lock_guard<std::mutex> g(r.mutex);
        r.seen.emplace_back(b, e);
    });
    return tiles_exactly(r.seen, count, min_chunk);
}

TEST(Pool, EveryIndexExactlyOnce) {
    for (uint64_t count : {0, 1, 2, 3, 7, 8, 9, 31, 64, 65, 257, 1000, 4097}) {
        for (uint64_t min_chunk : {0, 1, 3, 16, 64, 5000}) {
            EXPECT_TRUE(covers_once(count, min_chunk)) << "count " << count << " min_chunk " << min_chunk;
        }
    }
}

TEST(Pool, RangesNearTopOfIndexSpace) {
    // Chunk ends must not wrap around when count is close to 2^64.
    const uint64_t count = UINT64_MAX;
    const uint64_t min_chunk = UINT64_MAX / 3;
    Ranges r;
    parallel_for(count, min_chunk, [&](uint64_t b, uint64_t e) {
        std::lock_guard<std::mutex> g(r.mutex);
        r.seen.emplace_back(b, e);
    });
    EXPECT_TRUE(tiles_exactly(r.seen, count, min_chunk));
}

// Sum of i * i over [0, count), by the pool.
uint64_t pooled_sum_of_squares(uint64_t count) {
    std::vector<uint64_t> sq(count);
    parallel_for(count, 7, [&](uint64_t b, uint64_t e) {
        for (uint64_t i = b; i < e; ++i) sq[i] = i * i;
    });
    uint64_t total = 0;
    for (uint64_t v : sq) total += v;
    return total;
}

uint64_t sum_of_squares(uint64_t count) { return count == 0 ? 0 : (count - 1) * count * (2 * count - 1) / 6; }

TEST(Pool, ConcurrentCallersEachGetTheirOwnResult) {
    constexpr int kCallers = 4;
    constexpr int kRounds = 40;
    std::vector<int> wrong(kCallers, 0);
    std::vector<std::thread> callers;
    for (int t = 0; t < kCallers; ++t) {
        callers.emplace_back([t, &wrong] {
            for (int round = 0; round < kRounds; ++round) {
                const uint64_t count = 500 + 97 * t + round;
                if (pooled_sum_of_squares(count) != sum_of_squares(count)) ++wrong[t];
            }
        });
    }
    for (auto& c : callers) c.join();
    EXPECT_EQ(wrong, std::vector<int>(kCallers, 0));
}

TEST(Pool, NestedCallsComplete) {
    constexpr uint64_t kOuter = 24;
    std::vector<uint64_t> inner(kOuter);
    parallel_for(kOuter, 1, [&](uint64_t b, uint64_t e) {
        for (uint64_t i = b; i < e; ++i) inner[i] = pooled_sum_of_squares(100 + i);
    });
    for (uint64_t i = 0; i < kOuter; ++i) EXPECT_EQ(inner[i], sum_of_squares(100 + i)) << i;
}

// Runs child() in a forked process under the parent's deadline and returns
// its exit status (0 when it returned true).
template <class F>
int in_child(F child) {
    return test::run_in_child([&child] { return child() ? 0 : 1; });
}

TEST(PoolFork, ChildBuildsAFreshPool) {
    if (!test::kThreadsAfterForkSupported) GTEST_SKIP() << test::kThreadsAfterForkUnsupported;
    ASSERT_EQ(pooled_sum_of_squares(1000), sum_of_squares(1000));  // the parent's pool exists
    const int status = in_child([] {
        // A size the parent was not given shows the child's pool is new.
        setenv("RAYON_NUM_THREADS", "5", 1);
        return pooled_sum_of_squares(3000) == sum_of_squares(3000) && pool_thread_count() == 5 &&
               covers_once(777, 3);
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(pooled_sum_of_squares(1000), sum_of_squares(1000));  // and the parent's still works
}

TEST(PoolFork, ForkWhileOtherThreadsUseThePool) {
    if (!test::kThreadsAfterForkSupported) GTEST_SKIP() << test::kThreadsAfterForkUnsupported;
    // Run first in a fresh process, the busy thread's first call creates the
    // pool while the first forks happen.
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::thread busy([&] {
        while (!stop.load()) {
            if (pooled_sum_of_squares(2000) != sum_of_squares(2000)) ++wrong;
        }
    });
    std::vector<int> statuses;
    for (int k = 0; k < 5; ++k) {
        statuses.push_back(in_child([] { return pooled_sum_of_squares(1500) == sum_of_squares(1500); }));
    }
    stop = true;
    busy.join();
    EXPECT_EQ(statuses, std::vector<int>(5, 0));
    EXPECT_EQ(wrong.load(), 0);
}

TEST(PoolFork, SizeOneRunsInlineOnCaller) {
    const int status = in_child([] {
        setenv("RAYON_NUM_THREADS", "1", 1);
        const std::thread::id self = std::this_thread::get_id();
        int calls = 0;
        bool on_caller = true, whole = true;
        parallel_for(10000, 1, [&](uint64_t b, uint64_t e) {
            ++calls;
            on_caller = on_caller && std::this_thread::get_id() == self;
            whole = whole && b == 0 && e == 10000;
        });
        return pool_thread_count() == 1 && calls == 1 && on_caller && whole;
    });
    EXPECT_EQ(status, 0);
}

struct EnvCase {
    const char* value;
    unsigned expected;
};

class PoolSizeFromEnv : public ::testing::TestWithParam<EnvCase> {};

TEST_P(PoolSizeFromEnv, Parses) {
    EXPECT_EQ(pool_size_from_env(GetParam().value), GetParam().expected)
        << (GetParam().value ? GetParam().value : "(null)");
}

INSTANTIATE_TEST_SUITE_P(Table, PoolSizeFromEnv,
                         ::testing::Values(EnvCase{nullptr, 0}, EnvCase{"", 0}, EnvCase{"0", 0}, EnvCase{"1", 1},
                                           EnvCase{"8", 8}, EnvCase{"007", 7}, EnvCase{"+3", 3}, EnvCase{"+", 0},
                                           EnvCase{"-2", 0}, EnvCase{" 3", 0}, EnvCase{"3 ", 0},
                                           EnvCase{"2.5", 0}, EnvCase{"0x10", 0}, EnvCase{"four", 0},
                                           EnvCase{"4294967295", UINT_MAX}, EnvCase{"4294967296", 0},
                                           EnvCase{"99999999999999999999999", 0}));

}  // namespace
}  // namespace vantrel
