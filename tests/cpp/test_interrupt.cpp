// Interrupt checks: the poller's rate limit, and what the convergence loop and
// both drivers do when asked between product blocks: nothing, as long as the
// answer is "go on"; stop at once, and leave the pool usable, when it is "stop".
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "batching.hpp"
#include "blas_ops.hpp"
#include "interrupt.hpp"
#include "search.hpp"

namespace vantrel {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

// Counts its calls, records when each ran, takes `cost` per call and asks to
// stop on call number `stop_at` (0: never).
struct RecordingHook {
    uint64_t stop_at = 0;
    nanoseconds cost{0};
    std::vector<Clock::time_point> starts;
    std::vector<Clock::time_point> ends;

    static bool call(void* context) {
        RecordingHook& self = *static_cast<RecordingHook*>(context);
        self.starts.push_back(Clock::now());
        if (self.cost.count() > 0) std::this_thread::sleep_for(self.cost);
        self.ends.push_back(Clock::now());
        return self.stop_at != 0 && self.starts.size() >= self.stop_at;
    }
    uint64_t calls() const { return starts.size(); }
    InterruptHook hook(nanoseconds interval, int cost_factor = kInterruptCostFactor) {
        return InterruptHook{&RecordingHook::call, this, interval, cost_factor};
    }
    // Asked after every block.
    InterruptHook every_time() { return hook(nanoseconds(0), 0); }
};

// Polls as fast as it can until the hook has run `calls` times or `limit` has passed.
void poll_until(InterruptPoller& poller, const RecordingHook& hook, uint64_t calls, Clock::duration limit) {
    const Clock::time_point deadline = Clock::now() + limit;
    while (hook.calls() < calls && Clock::now() < deadline) (void)poller.stop_requested();
}

TEST(InterruptPoller, CallsAreSpacedByTheInterval) {
    RecordingHook recorder;
    const Clock::time_point created = Clock::now();
    InterruptPoller poller(recorder.hook(milliseconds(15)));
    poll_until(poller, recorder, 4, std::chrono::seconds(10));
    ASSERT_EQ(recorder.calls(), 4u);
    EXPECT_GE(recorder.starts[0] - created, milliseconds(15));
    for (size_t k = 1; k < recorder.calls(); ++k) EXPECT_GE(recorder.starts[k] - recorder.ends[k - 1], milliseconds(15)) << k;
}

// A hook that takes time (waiting for a lock, say) is followed by twenty times
// that much work before the next call, whatever the minimum interval.
TEST(InterruptPoller, SlowCallsAreSpacedByTheirCost) {
    RecordingHook recorder;
    recorder.cost = milliseconds(2);
    InterruptPoller poller(recorder.hook(milliseconds(1)));
    // Normally 45 ms; a stalled first call stretches the wait twentyfold.
    poll_until(poller, recorder, 2, std::chrono::seconds(120));
    ASSERT_EQ(recorder.calls(), 2u);
    const Clock::duration took = recorder.ends[0] - recorder.starts[0];
    EXPECT_GE(took, milliseconds(2));
    EXPECT_GE(recorder.starts[1] - recorder.ends[0], took * kInterruptCostFactor);
}

TEST(InterruptPoller, AStopIsFinalAndTheHookIsNotAskedAgain) {
    RecordingHook recorder;
    recorder.stop_at = 2;
    InterruptPoller poller(recorder.every_time());
    EXPECT_FALSE(poller.stop_requested());
    for (int k = 0; k < 5; ++k) EXPECT_TRUE(poller.stop_requested());
    EXPECT_EQ(recorder.calls(), 2u);
}

// ---------------------------------------------------------------------------
// The convergence loop and the drivers

struct Problem {
    uint64_t n = 0, d = 0;
    std::vector<float> data;
    std::vector<uint64_t> labels;
    std::vector<float> half;
    std::vector<float> start;
};

Problem make_problem(uint64_t n, uint64_t d, uint64_t m, uint64_t seed) {
    Problem p;
    p.n = n;
    p.d = d;
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<float> uni(-0.5f, 0.5f);
    p.data.resize(n * d);
    for (float& v : p.data) v = uni(gen);
    for (uint64_t j = 0; j < n; ++j) p.labels.push_back(j < 3 ? j : gen() % 3);
    p.half = half_row_norms_sq(row_norms_sq(n, d, p.data.data()));
    p.start.resize(m * d);
    for (float& v : p.start) v = uni(gen);
    return p;
}

ConvergenceResult run(const Problem& p, bool parallel, uint64_t limit, InterruptPoller* poller) {
    return converge_points_with_limit(p.start, p.n, p.d, p.data.data(), 0.0f, p.half.data(), p.labels.data(), 40,
                                      parallel, true, limit, poller);
}

void expect_identical(const ConvergenceResult& a, const ConvergenceResult& b) {
    ASSERT_EQ(a.points.size(), b.points.size());
    EXPECT_EQ(std::memcmp(a.points.data(), b.points.data(), a.points.size() * sizeof(float)), 0);
    EXPECT_EQ(a.pairs, b.pairs);
    EXPECT_EQ(a.converged, b.converged);
    EXPECT_EQ(a.converged_at, b.converged_at);
    EXPECT_EQ(a.iterations, b.iterations);
    EXPECT_EQ(std::memcmp(&a.mean_displacement, &b.mean_displacement, sizeof(float)), 0);
    EXPECT_EQ(a.all_converged, b.all_converged);
    EXPECT_FALSE(a.interrupted);
    EXPECT_FALSE(b.interrupted);
}

// 150 points and 400 rows: one 60,000-value block per sweep, or, with a limit
// of 6,000, blocks of 150 points by 40 rows (ten per sweep).
const Problem& problem() {
    static const Problem p = make_problem(400, 4, 150, 7);
    return p;
}
constexpr uint64_t kSmallLimit = 6000;
constexpr uint64_t kBlocksPerChunkedSweep = 10;

TEST(InterruptLoop, AskingAfterEveryBlockChangesNothing) {
    ASSERT_EQ(chunk_block_sizes(150, 400, kSmallLimit).query_rows, 150u);
    ASSERT_EQ(chunk_block_sizes(150, 400, kSmallLimit).data_rows, 40u);
    for (uint64_t limit : {kMaxProductElements, kSmallLimit}) {
        for (bool parallel : {false, true}) {
            SCOPED_TRACE(testing::Message() << "limit " << limit << (parallel ? " parallel" : " serial"));
            const ConvergenceResult plain = run(problem(), parallel, limit, nullptr);
            ASSERT_GT(plain.iterations, 2u);
            RecordingHook recorder;
            InterruptPoller poller(recorder.every_time());
            expect_identical(plain, run(problem(), parallel, limit, &poller));
            // Once per product block, never per point.
            const uint64_t blocks = limit == kSmallLimit ? kBlocksPerChunkedSweep : 1;
            EXPECT_EQ(recorder.calls(), plain.iterations * blocks);
        }
    }
}

TEST(InterruptLoop, AStopAtAnyBlockEndsTheRunAndTheNextRunIsUnchanged) {
    for (uint64_t limit : {kMaxProductElements, kSmallLimit}) {
        const ConvergenceResult plain = run(problem(), true, limit, nullptr);
        const uint64_t blocks = plain.iterations * (limit == kSmallLimit ? kBlocksPerChunkedSweep : 1);
        for (uint64_t stop_at : {uint64_t{1}, uint64_t{2}, blocks / 2, blocks - 1, blocks}) {
            SCOPED_TRACE(testing::Message() << "limit " << limit << " stop at " << stop_at);
            RecordingHook recorder;
            recorder.stop_at = stop_at;
            InterruptPoller poller(recorder.every_time());
            EXPECT_TRUE(run(problem(), true, limit, &poller).interrupted);
            EXPECT_EQ(recorder.calls(), stop_at);
            expect_identical(plain, run(problem(), true, limit, nullptr));
        }
    }
}

BatchSettings sparse_settings(bool parallel) {
    BatchSettings s;
    s.seed = 5;
    s.n_points = 60;
    s.batch_size = 16;
    s.max_batches = 6;
    s.max_iter = 40;
    s.scaled_tol = 0.0f;
    s.parallel = parallel;
    return s;
}

TEST(InterruptDrivers, NeverStoppingHookGivesTheSamePoints) {
    const Problem& p = problem();
    for (bool parallel : {false, true}) {
        RecordingHook dense_hook;
        const auto plain = tresk_core(150, p.n, p.d, p.data.data(), 0.0f, p.labels.data(), 40, parallel, 3);
        const auto polled = tresk_core(150, p.n, p.d, p.data.data(), 0.0f, p.labels.data(), 40, parallel, 3,
                                       dense_hook.every_time());
        ASSERT_TRUE(plain.ok() && polled.ok());
        EXPECT_EQ(plain.value(), polled.value());
        EXPECT_GT(dense_hook.calls(), 0u);

        RecordingHook sparse_hook;
        BatchSettings s = sparse_settings(parallel);
        const auto sparse_plain = tresk_batched_core(p.n, p.d, p.data, p.labels, s);
        s.interrupt = sparse_hook.every_time();
        const auto sparse_polled = tresk_batched_core(p.n, p.d, p.data, p.labels, s);
        ASSERT_TRUE(sparse_plain.ok() && sparse_polled.ok());
        EXPECT_EQ(sparse_plain.value().points, sparse_polled.value().points);
        EXPECT_EQ(sparse_plain.value().pairs, sparse_polled.value().pairs);
        EXPECT_GT(sparse_hook.calls(), 0u);
    }
}

TEST(InterruptDrivers, AStopIsAnInterruptedError) {
    const Problem& p = problem();
    RecordingHook count_dense;
    ASSERT_TRUE(tresk_core(150, p.n, p.d, p.data.data(), 0.0f, p.labels.data(), 40, true, 3,
                           count_dense.every_time()).ok());
    for (uint64_t stop_at : {uint64_t{1}, count_dense.calls()}) {
        RecordingHook recorder;
        recorder.stop_at = stop_at;
        const auto r = tresk_core(150, p.n, p.d, p.data.data(), 0.0f, p.labels.data(), 40, true, 3,
                                  recorder.every_time());
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind, ErrorKind::interrupted);
    }

    // Stops at the first check (first batch), a middle one and the last (last batch).
    RecordingHook count_sparse;
    BatchSettings s = sparse_settings(true);
    s.interrupt = count_sparse.every_time();
    ASSERT_TRUE(tresk_batched_core(p.n, p.d, p.data, p.labels, s).ok());
    ASSERT_GT(count_sparse.calls(), 3u);
    for (uint64_t stop_at : {uint64_t{1}, count_sparse.calls() / 2, count_sparse.calls()}) {
        RecordingHook recorder;
        recorder.stop_at = stop_at;
        s.interrupt = recorder.every_time();
        const auto r = tresk_batched_core(p.n, p.d, p.data, p.labels, s);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind, ErrorKind::interrupted);
        EXPECT_EQ(recorder.calls(), stop_at);
    }
}

}  // namespace
}  // namespace vantrel
