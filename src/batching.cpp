// Sparse batched sampling: the novelty model and the batched driver.
//
// The driver moves batches of start points onto the boundary and keeps a point
// only when it converged onto a pair of data rows not found before in the call.
// Between batches a small model proposes where to start next: four random +-1
// projections cut space into grid cells, each cell keeps a success/failure
// count and a cost, and candidates are ranked by one Thompson sample per cell
// divided by the cell's mean cost.
//
// Two decisions shape the code. Every random draw happens on the calling thread
// in one fixed order, so a seeded run is reproducible whatever the pool does.
// And no result depends on a hash: maps are only looked up and inserted into,
// the per-call score caches are flat arrays indexed by the (small) cell keys.
#include "batching.hpp"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <limits>
#include <new>
#include <unordered_set>

#include "blas_ops.hpp"
#include "search.hpp"

namespace vantrel {

namespace {

constexpr uint64_t kProjections = 4;
constexpr uint64_t kCoarseKeys = 256;   // 4 bins on each of 4 projections
constexpr uint64_t kFineKeys = 4096;    // 8 bins on each of 4 projections
constexpr uint64_t kPoolFactor = 4;     // candidates per requested start point
constexpr uint64_t kMaxSelectBatch = uint64_t{1} << 62;
constexpr double kCoarseWeight = 0.35;
constexpr double kFineWeight = 0.65;
constexpr float kLocalRadius = 0.2f;    // spread around an anchor, before / sqrt(d)
constexpr double kUniformRatio = 0.75;  // batches this productive are followed by a uniform one
constexpr uint64_t kModelSeedMix = 0x9E3779B97F4A7C15ull;
constexpr double kLn4 = 1.3862943611198906;
constexpr double kLn5 = 1.6094379124341003;

uint32_t saturating_add(uint32_t a, uint32_t b) {
    uint32_t out;
    return __builtin_add_overflow(a, b, &out) ? std::numeric_limits<uint32_t>::max() : out;
}

uint64_t saturating_add(uint64_t a, uint64_t b) {
    uint64_t out;
    return __builtin_add_overflow(a, b, &out) ? std::numeric_limits<uint64_t>::max() : out;
}

// Truncation toward zero; NaN and negative products give bin 0.
uint64_t bin_of(float scaled, uint64_t last_bin) {
    if (!(scaled > 0.0f)) return 0;
    return std::min(static_cast<uint64_t>(scaled), last_bin);
}

void add_outcome(Posterior& post, uint64_t cost, bool success) {
    if (success) {
        post.successes = saturating_add(post.successes, 1u);
    } else {
        post.failures = saturating_add(post.failures, 1u);
    }
    post.cost_sum = saturating_add(post.cost_sum, cost);
    post.visits = saturating_add(post.visits, 1u);
}

// Thompson score of one cell: a Beta sample of its success rate over its mean cost.
double cell_score(StdRng& rng, const std::unordered_map<uint64_t, Posterior>& posteriors, uint64_t key,
                  double default_cost) {
    double alpha = 1.0;
    double beta = 1.0;
    double mean_cost = default_cost;
    auto it = posteriors.find(key);
    if (it != posteriors.end()) {
        alpha = static_cast<double>(it->second.successes) + 1.0;
        beta = static_cast<double>(it->second.failures) + 1.0;
        if (it->second.visits > 0) {
            mean_cost = static_cast<double>(it->second.cost_sum) / static_cast<double>(it->second.visits);
        }
    }
    double x = sample_beta(rng, alpha, beta);
    return x / std::max(mean_cost, 1.0);
}

struct Candidate {
    double score = 0.0;
    double tie_break = 0.0;
    uint64_t index = 0;
    CellKeys cell;
};

// Maps a double to an integer whose signed order is the IEEE 754 total order.
int64_t total_order_key(double x) {
    int64_t bits = std::bit_cast<int64_t>(x);
    return bits ^ static_cast<int64_t>(static_cast<uint64_t>(bits >> 63) >> 1);
}

// Highest score first, then highest tie-break.
bool ranks_before(const Candidate& a, const Candidate& b) {
    int64_t sa = total_order_key(a.score);
    int64_t sb = total_order_key(b.score);
    if (sa != sb) return sa > sb;
    return total_order_key(a.tie_break) > total_order_key(b.tie_break);
}

// Adds the time since the last lap to one field of the timings, if any are kept.
struct Stopwatch {
    BatchedTimings* timings;
    std::chrono::steady_clock::time_point start;
    std::chrono::steady_clock::time_point last;

    explicit Stopwatch(BatchedTimings* t) : timings(t) {
        if (timings) start = last = std::chrono::steady_clock::now();
    }
    void lap(double BatchedTimings::*field) {
        if (!timings) return;
        const auto now = std::chrono::steady_clock::now();
        timings->*field += std::chrono::duration<double>(now - last).count();
        last = now;
    }
    void finish() {
        if (timings) timings->total_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
};

struct PairHash {
    size_t operator()(const Pair& p) const noexcept {
        uint64_t h = p.first * 0x9E3779B97F4A7C15ull;
        h ^= p.second + 0x632BE59BD9B4E019ull + (h << 6) + (h >> 2);
        return static_cast<size_t>(h);
    }
};

}  // namespace

NoveltyModel make_novelty_model(uint64_t d, const float* lower, const float* upper, StdRng& model_rng) {
    NoveltyModel model;
    model.dim = d;
    model.projections.reserve(kProjections * d);
    for (uint64_t p = 0; p < kProjections; ++p) {
        float lo = 0.0f;
        float hi = 0.0f;
        for (uint64_t t = 0; t < d; ++t) {
            if (sample_bool(model_rng)) {
                model.projections.push_back(1.0f);
                hi += upper[t];
                lo += lower[t];
            } else {
                model.projections.push_back(-1.0f);
                hi -= lower[t];
                lo -= upper[t];
            }
        }
        model.proj_min[p] = lo;
        model.proj_max[p] = hi;
    }
    return model;
}

CellKeys keys(const NoveltyModel& model, const float* point) {
    const uint64_t d = model.dim;
    CellKeys cell;
    for (uint64_t p = 0; p < kProjections; ++p) {
        const float* coef = model.projections.data() + p * d;
        float dot = -0.0f;
        for (uint64_t t = 0; t < d; ++t) dot += point[t] * coef[t];
        float range = model.proj_max[p] - model.proj_min[p];
        float f = 0.5f;
        if (range > 0.0f) {
            f = (dot - model.proj_min[p]) / range;
            if (f < 0.0f) f = 0.0f;
            if (f > 1.0f) f = 1.0f;
        }
        cell.coarse = cell.coarse * 4 + bin_of(f * 4.0f, 3);
        cell.fine = cell.fine * 8 + bin_of(f * 8.0f, 7);
    }
    return cell;
}

void record_outcome(NoveltyModel& model, const CellKeys& cell, const float* start_point, uint64_t iterations,
                    bool success) {
    const uint64_t cost = std::max<uint64_t>(iterations, 1);
    add_outcome(model.coarse_posteriors[cell.coarse], cost, success);
    add_outcome(model.fine_posteriors[cell.fine], cost, success);
    if (success) model.anchors.insert(model.anchors.end(), start_point, start_point + model.dim);
    model.total_cost = saturating_add(model.total_cost, cost);
    model.total_visits = saturating_add(model.total_visits, uint64_t{1});
}

double sample_beta(StdRng& rng, double alpha, double beta) {
    double a = std::min(alpha, beta);
    double b = std::max(alpha, beta);
    double w = 0.0;
    bool swapped = false;
    if (a > 1.0) {
        // Cheng's BB, for both shape parameters above one.
        const double A = a + b;
        const double B = std::sqrt((A - 2.0) / (2.0 * a * b - A));
        const double G = a + 1.0 / B;
        swapped = !(alpha < beta);
        for (;;) {
            const double u1 = sample_open_unit_f64(rng);
            const double u2 = sample_open_unit_f64(rng);
            const double v = B * std::log(u1 / (1.0 - u1));
            w = a * std::exp(v);
            const double z = u1 * u1 * u2;
            const double r = G * v - kLn4;
            const double s = a + r - w;
            if (s + 1.0 + kLn5 >= 5.0 * z) break;
            const double t = std::log(z);
            if (s >= t) break;
            if (!(r + A * std::log(A / (b + w)) < t)) break;
        }
    } else {
        // Cheng's BC, with a the larger and b the smaller parameter.
        std::swap(a, b);
        const double A = a + b;
        const double B = 1.0 / b;
        const double delta = 1.0 + a - b;
        const double kappa1 = delta * (1.0 / 72.0 + b / 24.0) / (a * B - 7.0 / 9.0);
        const double kappa2 = 0.25 + (0.5 + 0.25 / delta) * b;
        swapped = alpha < beta;
        for (;;) {
            const double u1 = sample_open_unit_f64(rng);
            const double u2 = sample_open_unit_f64(rng);
            double z;
            if (u1 < 0.5) {
                const double y = u1 * u2;
                z = u1 * y;
                if (0.25 * u2 + z - y >= kappa1) continue;
            } else {
                z = u1 * u1 * u2;
                if (z <= 0.25) {
                    const double v = B * std::log(u1 / (1.0 - u1));
                    w = a * std::exp(v);
                    break;
                }
                if (z >= kappa2) continue;
            }
            const double v = B * std::log(u1 / (1.0 - u1));
            w = a * std::exp(v);
            if (!(A * (std::log(A / (b + w)) + v) - kLn4 < std::log(z))) break;
        }
    }
    if (swapped) return b / (b + w);
    if (w == std::numeric_limits<double>::infinity()) return 1.0;
    return w / (b + w);
}

Result<SelectedBatch> select_batch(const NoveltyModel& model, StdRng& rng, uint64_t batch_size,
                                   const float* lower, const float* upper) {
    const uint64_t n = batch_size;
    const uint64_t d = model.dim;
    if (n >= kMaxSelectBatch) return invalid_input("batch_size is too large");
    const uint64_t pool_rows = kPoolFactor * n;
    uint64_t pool_values = 0;
    if (!checked_mul(pool_rows, d, pool_values)) return invalid_input("candidate pool is too large");
    SelectedBatch out;
    if (n == 0) return out;

    auto drawn = generate_random_points_from_bounds(pool_rows, d, lower, upper, rng);
    if (!drawn) return drawn.error();
    std::vector<float> pool = std::move(drawn).value();

    // The last quarter of the pool is scattered around earlier successes; its
    // uniform values were still drawn above, so the stream position does not
    // depend on whether anchors exist.
    if (!model.anchors.empty()) {
        const uint64_t anchor_rows = model.anchors.size() / d;
        const float rho = kLocalRadius / std::sqrt(static_cast<float>(d));
        auto offset = make_inclusive_f32(-rho, rho);
        if (!offset) return offset.error();
        for (uint64_t r = 3 * n; r < pool_rows; ++r) {
            const float* anchor = model.anchors.data() + sample_index(rng, anchor_rows) * d;
            float* row = pool.data() + r * d;
            for (uint64_t t = 0; t < d; ++t) {
                const float u = sample_from(rng, offset.value());
                const float width = upper[t] - lower[t];
                const float step = width * u;
                float v = anchor[t] + step;
                if (v < lower[t]) v = lower[t];
                if (v > upper[t]) v = upper[t];
                row[t] = v;
            }
        }
    }

    const double default_cost = model.total_visits > 0
                                    ? static_cast<double>(model.total_cost) / static_cast<double>(model.total_visits)
                                    : 1.0;

    // One Thompson sample per cell and call: candidates sharing a cell share it.
    std::vector<double> coarse_cache(kCoarseKeys, 0.0);
    std::vector<uint8_t> coarse_cached(kCoarseKeys, 0);
    std::vector<double> fine_cache(kFineKeys, 0.0);
    std::vector<uint8_t> fine_cached(kFineKeys, 0);

    std::vector<Candidate> candidates(pool_rows);
    for (uint64_t i = 0; i < pool_rows; ++i) {
        const CellKeys cell = keys(model, pool.data() + i * d);
        if (!coarse_cached[cell.coarse]) {
            coarse_cache[cell.coarse] = cell_score(rng, model.coarse_posteriors, cell.coarse, default_cost);
            coarse_cached[cell.coarse] = 1;
        }
        if (!fine_cached[cell.fine]) {
            fine_cache[cell.fine] = cell_score(rng, model.fine_posteriors, cell.fine, default_cost);
            fine_cached[cell.fine] = 1;
        }
        const double tie_break = sample_unit_f64(rng);
        const double score = kCoarseWeight * coarse_cache[cell.coarse] + kFineWeight * fine_cache[cell.fine];
        candidates[i] = Candidate{score, tie_break, i, cell};
    }
    std::sort(candidates.begin(), candidates.end(), ranks_before);

    // Best candidate of each fine cell first; if there are fewer distinct
    // cells than requested, the best of the rest in rank order.
    std::vector<uint8_t> fine_taken(kFineKeys, 0);
    std::vector<const Candidate*> chosen;
    std::vector<const Candidate*> deferred;
    chosen.reserve(n);
    for (const Candidate& c : candidates) {
        if (chosen.size() == n) break;
        if (fine_taken[c.cell.fine]) {
            deferred.push_back(&c);
        } else {
            fine_taken[c.cell.fine] = 1;
            chosen.push_back(&c);
        }
    }
    for (size_t k = 0; chosen.size() < n; ++k) chosen.push_back(deferred[k]);

    out.points.resize(n * d);
    out.keys.resize(n);
    for (uint64_t k = 0; k < n; ++k) {
        const float* row = pool.data() + chosen[k]->index * d;
        std::copy(row, row + d, out.points.begin() + static_cast<std::ptrdiff_t>(k * d));
        out.keys[k] = chosen[k]->cell;
    }
    return out;
}

Result<BatchedResult> tresk_batched_core(uint64_t n, uint64_t d, std::span<const float> data,
                                         std::span<const uint64_t> labels, const BatchSettings& settings) {
    return tresk_batched_core(n, d, data, labels, settings, nullptr);
}

Result<BatchedResult> tresk_batched_core(uint64_t n, uint64_t d, std::span<const float> data,
                                         std::span<const uint64_t> labels, const BatchSettings& settings,
                                         BatchedTimings* timings) {
    Stopwatch clock(timings);
    uint64_t data_values = 0;
    if (!checked_mul(n, d, data_values)) return invalid_input("data dimensions are too large");
    if (n == 0 || d == 0 || data.size() != data_values) return invalid_input("invalid data dimensions");
    if (labels.size() != n) return invalid_input("labels must match the number of data points");
    if (settings.n_points == 0) return invalid_input("target_points must be greater than zero");
    if (settings.batch_size == 0) return invalid_input("batch_size must be greater than zero");
    if (settings.max_batches == 0) return invalid_input("max_batches must be greater than zero");
    if (settings.max_iter == 0) return invalid_input("max_iterations must be greater than zero");
    if (!std::isfinite(settings.scaled_tol) || settings.scaled_tol < 0.0f) {
        return invalid_input("tolerance must be finite and non-negative");
    }
    if (n > kMaxBlasInt || d > kMaxBlasInt || settings.batch_size > kMaxBlasInt) {
        return invalid_input("data dimensions exceed the supported BLAS integer range");
    }
    uint64_t scratch = 0;
    if (!checked_mul(settings.n_points, d, scratch) || !checked_mul(settings.batch_size, d, scratch) ||
        !checked_mul(settings.batch_size, n, scratch) || !checked_mul(kPoolFactor * settings.batch_size, d, scratch)) {
        return invalid_input("batch dimensions are too large");
    }

    const Bounds bounds = data_bounds(d, data);
    const float* lower = bounds.lower.data();
    const float* upper = bounds.upper.data();
    const std::vector<float> half_norms = half_row_norms_sq(row_norms_sq(n, d, data.data()));

    uint64_t seed = 0;
    if (settings.seed) {
        seed = *settings.seed;
    } else {
        auto thread = thread_rng();
        if (!thread) return thread.error();
        seed = next_u64(*thread.value());
    }
    StdRng rng = seed_from_u64(seed);
    StdRng model_rng = seed_from_u64(seed ^ kModelSeedMix);
    NoveltyModel model = make_novelty_model(d, lower, upper, model_rng);

    // The accepted lists grow geometrically as points are accepted, so memory
    // follows what is found: a request for "as many pairs as exist"
    // (n_points far beyond the data's pairs, many batches) reserves nothing it
    // cannot fill. Growth copies at most about as much again as is accepted.
    BatchedResult out;
    std::unordered_set<Pair, PairHash> found_pairs;
    // One poller for the whole run, so its rate limit spans batches.
    InterruptPoller poller(settings.interrupt);
    // One product buffer for all batches (see ProductScratch).
    ProductScratch products;
    clock.lap(&BatchedTimings::setup_seconds);

    uint64_t found = 0;
    uint64_t batches = 0;
    double new_pair_ratio = 1.0;
    for (;;) {
        const uint64_t width = std::min(settings.n_points - found, settings.batch_size);
        std::vector<float> start;
        std::vector<CellKeys> cells;
        if (batches == 0 || new_pair_ratio >= kUniformRatio) {
            auto drawn = generate_random_points_from_bounds(width, d, lower, upper, rng);
            if (!drawn) return drawn.error();
            start = std::move(drawn).value();
            cells.resize(width);
            for (uint64_t i = 0; i < width; ++i) cells[i] = keys(model, start.data() + i * d);
        } else {
            auto selected = select_batch(model, rng, width, lower, upper);
            if (!selected) return selected.error();
            start = std::move(selected.value().points);
            cells = std::move(selected.value().keys);
            if (timings) ++timings->selected_batches;
        }
        clock.lap(&BatchedTimings::proposal_seconds);
        const std::vector<float> start_copy = start;
        clock.lap(&BatchedTimings::bookkeeping_seconds);

        const ConvergenceResult result =
            converge_points(std::move(start), n, d, data.data(), settings.scaled_tol, half_norms.data(),
                            labels.data(), settings.max_iter, settings.parallel, true, &poller, &products);
        if (result.interrupted) return interrupted_error();
        clock.lap(&BatchedTimings::convergence_seconds);

        const uint64_t found_before = found;
        for (uint64_t i = 0; i < width; ++i) {
            // A query that did not converge leaves its pair unclaimed for later ones.
            const bool success = result.converged[i] && found_pairs.insert(result.pairs[i]).second;
            record_outcome(model, cells[i], start_copy.data() + i * d, result.converged_at[i], success);
            if (success && found < settings.n_points) {
                const float* moved = result.points.data() + i * d;
                out.points.insert(out.points.end(), moved, moved + d);
                out.pairs.push_back(result.pairs[i]);
                ++found;
            }
        }
        ++batches;
        if (timings) {
            timings->batches = batches;
            timings->start_points += width;
        }
        clock.lap(&BatchedTimings::bookkeeping_seconds);
        if (found >= settings.n_points) break;
        new_pair_ratio = static_cast<double>(found - found_before) / static_cast<double>(width);
        if (batches >= settings.max_batches) break;
    }
    clock.finish();
    return out;
}

}  // namespace vantrel
