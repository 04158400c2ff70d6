// The dense boundary search: bisector projection, the convergence loop,
// uniform start points and the dense driver.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "interrupt.hpp"
#include "random/rng.hpp"
#include "result.hpp"
#include "types.hpp"

namespace vantrel {

// Largest product buffer, in float32 values (32 MiB).
inline constexpr uint64_t kMaxProductElements = 8388608;

// Moves point onto the perpendicular bisector of rows i and j; returns the
// squared displacement, or +inf (point untouched) when the rows coincide.
float project_onto_bisector(float* point, const float* data, uint64_t d, uint64_t i, uint64_t j);

struct IterationResult {
    std::vector<Pair> pairs;
    std::vector<uint8_t> converged;  // 0 or 1; bytes so tasks can write their own slot
    float mean_displacement = 0.0f;
};

struct ConvergenceResult {
    std::vector<float> points;
    std::vector<Pair> pairs;
    std::vector<uint8_t> converged;
    std::vector<uint64_t> converged_at;  // empty unless tracking
    uint64_t iterations = 0;
    float mean_displacement = 0.0f;
    bool all_converged = false;
    bool interrupted = false;  // stopped mid-run on request; then nothing else here is meaningful
};

// Full sweeps when m * n <= kMaxProductElements, chunked otherwise.
bool uses_full_iteration(uint64_t m, uint64_t n);

struct BlockSizes {
    uint64_t query_rows = 0;  // R
    uint64_t data_rows = 0;   // W
};
BlockSizes chunk_block_sizes(uint64_t m, uint64_t n);

// The same rules for another product limit; the forms above use
// kMaxProductElements. A small limit forces chunked sweeps with small blocks.
bool uses_full_iteration(uint64_t m, uint64_t n, uint64_t limit);
BlockSizes chunk_block_sizes(uint64_t m, uint64_t n, uint64_t limit);

// The product buffer of convergence runs, kept by a caller that makes many
// runs in a row (the batched driver, one per batch) so that each run reuses
// the pages of the last: the allocator hands a freed buffer of megabytes back
// to the system, and each fresh huge page is cleared by the kernel and may wait
// for compaction. Sparse mode's default call on n=5,000, d=16 faulted in 12
// huge pages, 3 with the buffer kept (/proc/vmstat, 2-core AMD EPYC); the time
// saved was below the noise of the shared machine it was measured on.
struct FreeDeleter {
    void operator()(float* p) const;
};
struct ProductScratch {
    std::unique_ptr<float, FreeDeleter> buffer;
    uint64_t capacity = 0;  // floats
};

// May throw std::bad_alloc; nothing else fails. The poller, when given, is
// asked between product blocks; a stop ends the run with `interrupted` set.
// The scratch, when given, provides the product buffer (grown if need be).
ConvergenceResult converge_points(std::vector<float> points, uint64_t n, uint64_t d, const float* data,
                                  float tol, const float* half_norms, const uint64_t* labels,
                                  uint64_t max_iter, bool parallel, bool track_iterations,
                                  InterruptPoller* poller = nullptr, ProductScratch* scratch = nullptr);
// converge_points with another product limit (see uses_full_iteration).
ConvergenceResult converge_points_with_limit(std::vector<float> points, uint64_t n, uint64_t d, const float* data,
                                             float tol, const float* half_norms, const uint64_t* labels,
                                             uint64_t max_iter, bool parallel, bool track_iterations,
                                             uint64_t limit, InterruptPoller* poller = nullptr,
                                             ProductScratch* scratch = nullptr);

struct Bounds {
    std::vector<float> lower;
    std::vector<float> upper;
};
Bounds data_bounds(uint64_t d, std::span<const float> data);

// count points, feature after feature, one inclusive-range draw per coordinate.
// Throws std::bad_alloc when count * d values cannot be held (or overflow).
template <class G>
Result<std::vector<float>> generate_random_points_from_bounds(uint64_t count, uint64_t d, const float* lower,
                                                              const float* upper, G& rng);

extern template Result<std::vector<float>> generate_random_points_from_bounds<StdRng>(
    uint64_t, uint64_t, const float*, const float*, StdRng&);
extern template Result<std::vector<float>> generate_random_points_from_bounds<ThreadRng>(
    uint64_t, uint64_t, const float*, const float*, ThreadRng&);

// The dense mode: n_points start points moved to the boundary, in start order.
// Fails only when the thread generator cannot be keyed or the hook asks to
// stop (an `interrupted` error); may throw std::bad_alloc.
Result<std::vector<float>> tresk_core(uint64_t n_points, uint64_t n, uint64_t d, const float* data,
                                      float scaled_tol, const uint64_t* labels, uint64_t max_iter,
                                      bool parallel, std::optional<uint64_t> seed,
                                      const InterruptHook& interrupt = {});

}  // namespace vantrel
