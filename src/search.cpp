// The dense boundary search: the bisector projection, the convergence loop,
// uniform start points and the dense driver.
//
// Every sweep ranks all data rows for every unconverged point from single-
// precision products, one sgemm per block (a whole m x n block when it fits
// kMaxProductElements, otherwise bounded blocks), then moves each point onto
// the bisector of its nearest row and the nearest row of another class. Rows
// are always scanned in ascending order with ties to the lower index, so the
// pair does not depend on the block sizes. Per-point work may run on the worker
// pool; each task writes only its own point and outcome slot, and every
// reduction runs afterwards on the calling thread in point order, so results
// are bit-identical with and without the pool. A caller's interrupt poller is
// asked after each product block's scan, on the calling thread with the pool
// idle; asking reads nothing the search computes, so it cannot change results.
#include "search.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <utility>

#include "blas_ops.hpp"
#include "pool.hpp"

namespace vantrel {

void FreeDeleter::operator()(float* p) const { std::free(p); }

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
// Data blocks hold at most this many rows when queries do not outnumber rows.
constexpr uint64_t kMaxDataBlockRows = 2048;
// Scores a pool task should cover at least, so claiming a chunk stays cheap
// next to the scan it buys.
constexpr uint64_t kMinTaskScores = 32768;
constexpr uint64_t kHugePageBytes = uint64_t{2} << 20;

uint64_t integer_sqrt(uint64_t v) {
    uint64_t r = 0;
    for (uint64_t bit = uint64_t{1} << 31; bit != 0; bit >>= 1) {
        const uint64_t candidate = r | bit;
        if (candidate * candidate <= v) r = candidate;
    }
    return r;
}

// What a sweep reads and never changes.
struct SearchInput {
    uint64_t n = 0;
    uint64_t d = 0;
    const float* data = nullptr;
    const float* half_norms = nullptr;
    const uint32_t* classes = nullptr;
    float tol = 0.0f;
    bool parallel = false;
};

// Per-point outcomes of one sweep, written by index.
struct SweepOutcomes {
    IterationResult result;
    std::vector<float> displacement;
};

SweepOutcomes make_outcomes(uint64_t m) {
    SweepOutcomes out;
    out.result.pairs.assign(m, kNoPair);
    out.result.converged.assign(m, 0);
    out.displacement.assign(m, 0.0f);
    return out;
}

// Runs body(begin, end) over [0, count), on the pool when parallel. The pool
// sees a one-pointer wrapper, which std::function keeps without allocating.
template <class Body>
void for_points(bool parallel, uint64_t count, uint64_t scores_per_point, const Body& body) {
    if (!parallel || count < 2) {
        body(0, count);
        return;
    }
    const uint64_t min_chunk = std::max<uint64_t>(1, kMinTaskScores / std::max<uint64_t>(1, scores_per_point));
    parallel_for(count, min_chunk, [&body](uint64_t begin, uint64_t end) { body(begin, end); });
}

// The point step for point p after its scan (p unconverged before the sweep).
void step_point(const SearchInput& in, uint64_t p, const QueryState& state, float* point,
                const IterationResult& previous, SweepOutcomes& next) {
    if (!has_pair(state)) {
        next.displacement[p] = kInf;
        next.result.pairs[p] = kNoPair;
        next.result.converged[p] = 0;
        return;
    }
    const Pair pair{std::min(state.best_index, state.second_index), std::max(state.best_index, state.second_index)};
    next.result.pairs[p] = pair;
    if (pair == previous.pairs[p]) {
        next.displacement[p] = 0.0f;
        next.result.converged[p] = 1;
        return;
    }
    const float moved = project_onto_bisector(point, in.data, in.d, state.best_index, state.second_index);
    next.displacement[p] = moved;
    next.result.converged[p] = moved <= in.tol ? 1 : 0;  // false for NaN; +inf never converges
}

// A converged point is frozen: no scan, no move, same pair.
void keep_converged(uint64_t p, const IterationResult& previous, SweepOutcomes& next) {
    next.displacement[p] = 0.0f;
    next.result.pairs[p] = previous.pairs[p];
    next.result.converged[p] = 1;
}

using ProductBuffer = std::unique_ptr<float, FreeDeleter>;

// Uninitialised room for `count` floats: the product call overwrites every
// value before it is read. Large buffers are aligned to 2 MiB and offered to
// the kernel for huge pages, which spares the product and the scan most of
// their TLB misses and the first sweep most of its page faults.
ProductBuffer allocate_products(uint64_t count) {
    uint64_t bytes = 0;
    if (!checked_mul(count, sizeof(float), bytes) || bytes > (uint64_t{1} << 62)) throw std::bad_alloc();
    bytes = std::max<uint64_t>(bytes, sizeof(float));
    void* p = nullptr;
    if (bytes >= kHugePageBytes) {
        const uint64_t rounded = (bytes + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
        p = std::aligned_alloc(kHugePageBytes, rounded);
        if (p != nullptr) madvise(p, rounded, MADV_HUGEPAGE);  // a hint; failure changes nothing
    } else {
        p = std::malloc(bytes);
    }
    if (p == nullptr) throw std::bad_alloc();
    return ProductBuffer(static_cast<float*>(p));
}

// The product buffer and the query states, allocated once per call (the
// buffer is the caller's scratch when it keeps one).
struct Workspace {
    ProductBuffer owned;
    float* products = nullptr;
    std::vector<QueryState> states;  // chunked sweeps only, one per point of a query block
};

// Points the workspace at room for `count` products: the scratch's, grown when
// too small, or a buffer of its own.
void provide_products(Workspace& work, uint64_t count, ProductScratch* scratch) {
    if (scratch == nullptr) {
        work.owned = allocate_products(count);
        work.products = work.owned.get();
        return;
    }
    if (scratch->capacity < count) {
        scratch->buffer.reset();  // the old room goes before the new is asked for
        scratch->capacity = 0;
        scratch->buffer = allocate_products(count);
        scratch->capacity = count;
    }
    work.products = scratch->buffer.get();
}

// One sweep with the whole m x n product in the workspace.
void full_iteration(const SearchInput& in, std::vector<float>& points, const IterationResult& previous,
                    Workspace& work, SweepOutcomes& next) {
    float* products = work.products;
    const uint64_t m = previous.pairs.size();
    const uint64_t n = in.n;
    product_block(points.data(), m, in.data, n, in.d, products);
    for_points(in.parallel, m, n, [&](uint64_t begin, uint64_t end) {
        for (uint64_t p = begin; p < end; ++p) {
            if (previous.converged[p]) {
                keep_converged(p, previous, next);
                continue;
            }
            QueryState state;
            scan_scores(state, products + p * n, n, 0, in.half_norms, in.classes);
            step_point(in, p, state, points.data() + p * in.d, previous, next);
        }
    });
}

// One sweep in query blocks of R points and data blocks of W rows, each data
// block's scores folded into the stored states of the query block. False when
// the poller asked to stop part way.
bool chunked_iteration(const SearchInput& in, std::vector<float>& points, const IterationResult& previous,
                       const BlockSizes& sizes, Workspace& work, SweepOutcomes& next, InterruptPoller* poller) {
    const uint64_t m = previous.pairs.size();
    const uint64_t n = in.n;
    const uint64_t d = in.d;
    const uint64_t block_points = sizes.query_rows;
    const uint64_t block_rows = sizes.data_rows;
    float* products = work.products;
    std::vector<QueryState>& states = work.states;
    for (uint64_t q0 = 0; q0 < m; q0 += block_points) {
        const uint64_t r = std::min(block_points, m - q0);
        std::fill(states.begin(), states.begin() + static_cast<std::ptrdiff_t>(r), QueryState{});
        for (uint64_t j0 = 0; j0 < n; j0 += block_rows) {
            const uint64_t c = std::min(block_rows, n - j0);
            product_block(points.data() + q0 * d, r, in.data + j0 * d, c, d, products);
            for_points(in.parallel, r, c, [&](uint64_t begin, uint64_t end) {
                for (uint64_t i = begin; i < end; ++i) {
                    if (previous.converged[q0 + i]) continue;
                    scan_scores(states[i], products + i * c, c, j0, in.half_norms, in.classes);
                }
            });
            if (stop_requested(poller)) return false;
        }
        for_points(in.parallel, r, d, [&](uint64_t begin, uint64_t end) {
            for (uint64_t i = begin; i < end; ++i) {
                const uint64_t p = q0 + i;
                if (previous.converged[p]) {
                    keep_converged(p, previous, next);
                } else {
                    step_point(in, p, states[i], points.data() + p * d, previous, next);
                }
            }
        });
    }
    return true;
}

}  // namespace

float project_onto_bisector(float* point, const float* data, uint64_t d, uint64_t i, uint64_t j) {
    const float* a = data + i * d;
    const float* b = data + j * d;
    // Widened to double and accumulated in coordinate order; each separate
    // multiply and add rounds on its own (the build does not contract to FMA).
    double num = 0.0;
    double den = 0.0;
    for (uint64_t k = 0; k < d; ++k) {
        const double diff = static_cast<double>(b[k]) - static_cast<double>(a[k]);
        const double mid = diff * 0.5 + static_cast<double>(a[k]);
        num = num + (static_cast<double>(point[k]) - mid) * diff;
        den = den + diff * diff;
    }
    // Coinciding rows have no bisector; a NaN den is not this case.
    if (den == 0.0) return kInf;
    const double t = num / den;
    for (uint64_t k = 0; k < d; ++k) {
        const double diff = static_cast<double>(b[k]) - static_cast<double>(a[k]);
        point[k] = static_cast<float>(static_cast<double>(point[k]) - diff * t);
    }
    // The move before the coordinates were rounded.
    return static_cast<float>(den * (t * t));
}

bool uses_full_iteration(uint64_t m, uint64_t n, uint64_t limit) {
    uint64_t elements = 0;
    return checked_mul(m, n, elements) && elements <= limit;
}

bool uses_full_iteration(uint64_t m, uint64_t n) { return uses_full_iteration(m, n, kMaxProductElements); }

BlockSizes chunk_block_sizes(uint64_t m, uint64_t n, uint64_t limit) {
    BlockSizes sizes;
    uint64_t w = 0;
    if (n < m) {
        // Few rows: a data block takes them all, unless even that is too many.
        w = n <= limit ? n : integer_sqrt(limit);
    } else {
        uint64_t w0 = (m != 0 && m <= limit) ? limit / m : 0;
        if (m == 0) w0 = limit;
        w0 = std::max<uint64_t>(w0, 1);
        w = std::min({w0, n, kMaxDataBlockRows});
    }
    w = std::max<uint64_t>(w, 1);
    sizes.data_rows = w;
    sizes.query_rows = std::min(m, limit / w);
    return sizes;
}

BlockSizes chunk_block_sizes(uint64_t m, uint64_t n) { return chunk_block_sizes(m, n, kMaxProductElements); }

ConvergenceResult converge_points_with_limit(std::vector<float> points, uint64_t n, uint64_t d, const float* data,
                                             float tol, const float* half_norms, const uint64_t* labels,
                                             uint64_t max_iter, bool parallel, bool track_iterations,
                                             uint64_t limit, InterruptPoller* poller, ProductScratch* scratch) {
    const uint64_t m = points.size() / d;
    const std::vector<uint32_t> classes = compact_classes(labels, n);
    const SearchInput in{n, d, data, half_norms, classes.data(), tol, parallel};

    // The strategy and its buffer are fixed for the whole call; reusing the
    // buffer spares every sweep the page faults of a fresh 32 MiB block.
    const bool full = uses_full_iteration(m, n, limit);
    BlockSizes sizes;
    Workspace work;
    if (full) {
        provide_products(work, m * n, scratch);
    } else {
        sizes = chunk_block_sizes(m, n, limit);
        provide_products(work, sizes.query_rows * sizes.data_rows, scratch);
        work.states.resize(sizes.query_rows);
    }

    SweepOutcomes previous = make_outcomes(m);
    SweepOutcomes next = make_outcomes(m);
    std::vector<uint64_t> converged_at;
    if (track_iterations) converged_at.assign(m, 0);

    uint64_t sweeps = 0;
    bool all_converged = false;
    for (;;) {
        bool stopped = false;
        if (full) {
            full_iteration(in, points, previous.result, work, next);
            stopped = stop_requested(poller);  // a full sweep is one product block
        } else {
            stopped = !chunked_iteration(in, points, previous.result, sizes, work, next, poller);
        }
        if (stopped) {
            ConvergenceResult out;
            out.interrupted = true;
            return out;
        }
        // Summed in float32 in point order, infinite moves included.
        float total = 0.0f;
        for (uint64_t p = 0; p < m; ++p) total += next.displacement[p];
        next.result.mean_displacement = m == 0 ? 0.0f : total / static_cast<float>(m);
        ++sweeps;
        if (track_iterations) {
            for (uint64_t p = 0; p < m; ++p) {
                if (next.result.converged[p] && !previous.result.converged[p]) converged_at[p] = sweeps;
            }
        }
        std::swap(previous, next);
        const auto& flags = previous.result.converged;
        if (std::all_of(flags.begin(), flags.end(), [](uint8_t f) { return f != 0; })) {
            all_converged = true;
            break;
        }
        if (sweeps >= max_iter) break;
    }
    if (track_iterations) {
        for (uint64_t& at : converged_at) {
            if (at == 0) at = sweeps;
        }
    }

    ConvergenceResult out;
    out.points = std::move(points);
    out.pairs = std::move(previous.result.pairs);
    out.converged = std::move(previous.result.converged);
    out.converged_at = std::move(converged_at);
    out.iterations = sweeps;
    out.mean_displacement = previous.result.mean_displacement;
    out.all_converged = all_converged;
    return out;
}

ConvergenceResult converge_points(std::vector<float> points, uint64_t n, uint64_t d, const float* data, float tol,
                                  const float* half_norms, const uint64_t* labels, uint64_t max_iter, bool parallel,
                                  bool track_iterations, InterruptPoller* poller, ProductScratch* scratch) {
    return converge_points_with_limit(std::move(points), n, d, data, tol, half_norms, labels, max_iter, parallel,
                                      track_iterations, kMaxProductElements, poller, scratch);
}

Bounds data_bounds(uint64_t d, std::span<const float> data) {
    Bounds bounds;
    bounds.lower.assign(d, kInf);
    bounds.upper.assign(d, -kInf);
    const uint64_t rows = data.size() / d;
    for (uint64_t r = 0; r < rows; ++r) {
        const float* row = data.data() + r * d;
        for (uint64_t k = 0; k < d; ++k) {
            const float v = row[k];
            // Strict comparisons: a NaN never moves a bound.
            if (bounds.lower[k] > v) bounds.lower[k] = v;
            if (v > bounds.upper[k]) bounds.upper[k] = v;
        }
    }
    return bounds;
}

template <class G>
Result<std::vector<float>> generate_random_points_from_bounds(uint64_t count, uint64_t d, const float* lower,
                                                              const float* upper, G& rng) {
    uint64_t values = 0;
    if (!checked_mul(count, d, values) || values > std::vector<float>().max_size()) throw std::bad_alloc();
    std::vector<float> points(values);
    if (count == 0) return points;
    // The range of a feature depends only on its bounds; each draw still takes one word.
    std::vector<InclusiveF32> ranges(d);
    for (uint64_t k = 0; k < d; ++k) {
        auto range = make_inclusive_f32(lower[k], upper[k]);
        if (!range) return range.error();
        ranges[k] = range.value();
    }
    for (uint64_t p = 0; p < count; ++p) {
        float* point = points.data() + p * d;
        for (uint64_t k = 0; k < d; ++k) point[k] = sample_from(rng, ranges[k]);
    }
    return points;
}

template Result<std::vector<float>> generate_random_points_from_bounds<StdRng>(uint64_t, uint64_t, const float*,
                                                                               const float*, StdRng&);
template Result<std::vector<float>> generate_random_points_from_bounds<ThreadRng>(uint64_t, uint64_t, const float*,
                                                                                  const float*, ThreadRng&);

Result<std::vector<float>> tresk_core(uint64_t n_points, uint64_t n, uint64_t d, const float* data, float scaled_tol,
                                      const uint64_t* labels, uint64_t max_iter, bool parallel,
                                      std::optional<uint64_t> seed, const InterruptHook& interrupt) {
    const std::vector<float> half_norms = half_row_norms_sq(row_norms_sq(n, d, data));
    const Bounds bounds = data_bounds(d, std::span<const float>(data, n * d));

    Result<std::vector<float>> start = std::vector<float>();
    if (seed) {
        StdRng rng = seed_from_u64(*seed);
        start = generate_random_points_from_bounds(n_points, d, bounds.lower.data(), bounds.upper.data(), rng);
    } else {
        auto thread = thread_rng();
        if (!thread) return thread.error();
        start = generate_random_points_from_bounds(n_points, d, bounds.lower.data(), bounds.upper.data(),
                                                   *thread.value());
    }
    if (!start) return start.error();

    InterruptPoller poller(interrupt);
    ConvergenceResult result = converge_points(std::move(start).value(), n, d, data, scaled_tol, half_norms.data(),
                                               labels, max_iter, parallel, false, &poller);
    if (result.interrupted) return interrupted_error();
    return std::move(result.points);
}

}  // namespace vantrel
