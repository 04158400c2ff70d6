// Sparse batched sampling: the novelty model and the batched driver.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "interrupt.hpp"
#include "random/rng.hpp"
#include "result.hpp"
#include "types.hpp"

namespace vantrel {

struct BatchSettings {
    std::optional<uint64_t> seed;
    uint64_t n_points = 0;
    uint64_t batch_size = 0;
    uint64_t max_batches = 0;
    uint64_t max_iter = 0;
    float scaled_tol = 0.0f;
    bool parallel = false;
    InterruptHook interrupt;  // asked between product blocks; a stop ends the run with an `interrupted` error
};

struct CellKeys {
    uint64_t coarse = 0;  // 0..255
    uint64_t fine = 0;    // 0..4095
};

struct Posterior {
    uint64_t cost_sum = 0;
    uint32_t successes = 0;
    uint32_t failures = 0;
    uint32_t visits = 0;
};

struct NoveltyModel {
    std::vector<float> projections;  // 4 * d coefficients, each +1 or -1
    std::vector<float> anchors;      // start points of successful queries, whole rows
    std::unordered_map<uint64_t, Posterior> coarse_posteriors;
    std::unordered_map<uint64_t, Posterior> fine_posteriors;
    uint64_t dim = 0;
    float proj_min[4] = {0, 0, 0, 0};
    float proj_max[4] = {0, 0, 0, 0};
    uint64_t total_cost = 0;
    uint64_t total_visits = 0;
};

NoveltyModel make_novelty_model(uint64_t d, const float* lower, const float* upper, StdRng& model_rng);
CellKeys keys(const NoveltyModel& model, const float* point);

struct SelectedBatch {
    std::vector<float> points;  // batch_size rows of d values
    std::vector<CellKeys> keys;
};
Result<SelectedBatch> select_batch(const NoveltyModel& model, StdRng& rng, uint64_t batch_size,
                                   const float* lower, const float* upper);

void record_outcome(NoveltyModel& model, const CellKeys& cell, const float* start_point,
                    uint64_t iterations, bool success);

// Beta(alpha, beta) by Cheng's BB (min > 1) or BC, drawing from rng.
double sample_beta(StdRng& rng, double alpha, double beta);

struct BatchedResult {
    std::vector<float> points;  // found * d values
    std::vector<Pair> pairs;    // found pairs, row for row
};

// May throw std::bad_alloc.
Result<BatchedResult> tresk_batched_core(uint64_t n, uint64_t d, std::span<const float> data,
                                         std::span<const uint64_t> labels, const BatchSettings& settings);

// Wall-clock split of one batched run, for benchmarks; not reachable from Python.
struct BatchedTimings {
    double setup_seconds = 0.0;        // bounds, half norms, seeding, model construction
    double proposal_seconds = 0.0;     // start points: uniform draws plus keys, or select_batch
    double convergence_seconds = 0.0;  // converge_points
    double bookkeeping_seconds = 0.0;  // copies, claiming pairs, record_outcome, accepting
    double total_seconds = 0.0;
    uint64_t batches = 0;
    uint64_t selected_batches = 0;  // batches proposed by select_batch
    uint64_t start_points = 0;
};

// The same run, filling timings when it is not null.
Result<BatchedResult> tresk_batched_core(uint64_t n, uint64_t d, std::span<const float> data,
                                         std::span<const uint64_t> labels, const BatchSettings& settings,
                                         BatchedTimings* timings);

}  // namespace vantrel
