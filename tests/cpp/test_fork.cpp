// Forks at first use: the main thread forks while other threads make their
// first parallel call and key their first thread generator. The child must
// find the pool usable (no lock left held by a thread it does not have) and
// must not replay its parent's words.
//
// Each round runs in a new child of the test process, which touches neither
// the pool nor a generator (CTest runs every test in a process of its own),
// so every round starts with both unused. The test process bounds every
// round: a hang is killed with its whole process group and fails its round
// instead of stalling the run.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "child_process.hpp"
#include "pool.hpp"
#include "random/rng.hpp"

namespace vantrel {
namespace {

constexpr int kRounds = 40;
constexpr int kUsers = 2;
constexpr int kWords = 8;
// Busy-wait steps per round before the fork, so the forks of successive
// rounds land at different moments of the other threads' first calls.
constexpr int kSpinPerRound = 2000;

uint64_t pooled_sum_of_squares(uint64_t count) {
    std::vector<uint64_t> sq(count);
    parallel_for(count, 7, [&](uint64_t b, uint64_t e) {
        for (uint64_t i = b; i < e; ++i) sq[i] = i * i;
    });
    uint64_t total = 0;
    for (uint64_t v : sq) total += v;
    return total;
}

uint64_t sum_of_squares(uint64_t count) { return (count - 1) * count * (2 * count - 1) / 6; }

// One round, in a process where nothing has been used yet; 0 when every
// check held.
int fork_during_first_use(int round) {
    std::atomic<bool> go{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> users;
    for (int t = 0; t < kUsers; ++t) {
        users.emplace_back([&go, &wrong, t] {
            while (!go.load()) {
            }
            auto rng = thread_rng();
            if (!rng) {
                ++wrong;
                return;
            }
            next_u64(*rng.value());
            if (pooled_sum_of_squares(1000 + t) != sum_of_squares(1000 + t)) ++wrong;
        });
    }
    go = true;
    auto rng = thread_rng();  // at the same moment as the others
    if (!rng) return 2;
    ThreadRng& g = *rng.value();
    next_u32(g);  // keyed, with most of a buffer unread
    for (int spin = 0; spin < round * kSpinPerRound; ++spin) std::atomic_signal_fence(std::memory_order_seq_cst);

    int fds[2];
    if (pipe(fds) != 0) return 3;
    const pid_t pid = test::fork_tied_to_parent();  // in this round's group, so a hang dies with it
    if (pid < 0) return 4;
    if (pid == 0) {
        uint32_t words[kWords];
        for (uint32_t& w : words) w = next_u32(g);
        const bool pool_works = pooled_sum_of_squares(3000) == sum_of_squares(3000);
        const bool sent = write(fds[1], words, sizeof words) == static_cast<ssize_t>(sizeof words);
        _exit(pool_works && sent ? 0 : 1);
    }
    close(fds[1]);
    uint32_t child[kWords] = {};
    const ssize_t got = read(fds[0], child, sizeof child);
    close(fds[0]);
    uint32_t parent[kWords];
    for (uint32_t& w : parent) w = next_u32(g);
    for (std::thread& u : users) u.join();

    if (test::exit_status(pid) != 0) return 5;
    if (got != static_cast<ssize_t>(sizeof child)) return 6;
    if (std::memcmp(child, parent, sizeof child) == 0) return 7;  // the child replayed the parent
    return wrong.load() == 0 ? 0 : 8;
}

TEST(ForkAtFirstUse, ChildrenWorkAndDrawTheirOwnWords) {
    if (!test::kThreadsAfterForkSupported) GTEST_SKIP() << test::kThreadsAfterForkUnsupported;
    std::vector<std::pair<int, int>> failed;  // (round, status)
    for (int round = 0; round < kRounds; ++round) {
        const int status = test::run_in_child([round] { return fork_during_first_use(round); });
        if (status != 0) failed.emplace_back(round, status);
    }
    EXPECT_TRUE(failed.empty()) << failed.size() << " of " << kRounds << " rounds failed; first: round "
                                << failed.front().first << ", status " << failed.front().second;
}

}  // namespace
}  // namespace vantrel
