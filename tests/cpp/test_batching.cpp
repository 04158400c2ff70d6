// Tests of the novelty model and the batched driver.
//
// Reproducibility rests on the exact order of draws, so several tests replay a
// call from its building blocks on a copy of the generator and compare both
// the output and the position of the stream afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <fstream>
#include <limits>
#include <set>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "batching.hpp"
#include "search.hpp"

namespace vantrel {
namespace {

uint64_t hex(const std::string& s) { return std::stoull(s, nullptr, 16); }

// 32-bit words taken from a generator created by seed_from_u64.
uint64_t words_used(const StdRng& g) {
    return g.counter == 0 ? 0 : (g.counter / 4 - 1) * kBufferWords + static_cast<uint64_t>(g.index);
}

// ---------------------------------------------------------------- Beta sampler

TEST(BatchingBeta, MatchesReferenceVectors) {
    std::ifstream in(std::string(VANTREL_TESTDATA_DIR) + "/rng_vectors.json");
    ASSERT_TRUE(in.good());
    const auto doc = nlohmann::json::parse(in);
    const auto& cases = doc.at("beta");
    std::set<std::string> algorithms;
    for (const auto& c : cases) {
        const double alpha = std::bit_cast<double>(hex(c.at("alpha").at("bits")));
        const double beta = std::bit_cast<double>(hex(c.at("beta").at("bits")));
        const std::string algorithm = c.at("algorithm");
        algorithms.insert(algorithm);
        EXPECT_EQ(algorithm, std::min(alpha, beta) > 1.0 ? "BB" : "BC");
        SCOPED_TRACE("Beta(" + std::to_string(alpha) + ", " + std::to_string(beta) + ") " + algorithm);

        StdRng rng = seed_from_u64(hex(c.at("seed")));
        const auto& samples = c.at("samples");
        const auto& per_draw = c.at("words_per_draw");
        ASSERT_EQ(samples.size(), per_draw.size());
        for (size_t k = 0; k < samples.size(); ++k) {
            const uint64_t before = words_used(rng);
            const double x = sample_beta(rng, alpha, beta);
            EXPECT_EQ(std::bit_cast<uint64_t>(x), hex(samples[k].at("bits"))) << "sample " << k;
            EXPECT_EQ(words_used(rng) - before, per_draw[k].get<uint64_t>()) << "sample " << k;
        }
        EXPECT_EQ(words_used(rng), c.at("words_consumed").get<uint64_t>());
        EXPECT_EQ(next_u32(rng), hex(c.at("next_u32_after")));
    }
    EXPECT_TRUE(algorithms.count("BB") == 1 && algorithms.count("BC") == 1);
}

// ------------------------------------------------------------- construction

TEST(BatchingModel, ConstructionTakesOneSignPerCoefficientAndSumsTheBox) {
    const uint64_t d = 5;
    const std::vector<float> lower = {-0.5f, -0.25f, 0.0f, -1.0f, 0.125f};
    const std::vector<float> upper = {0.5f, 0.75f, 0.0f, 0.25f, 0.375f};
    StdRng rng = seed_from_u64(7);
    StdRng copy = rng;
    const NoveltyModel model = make_novelty_model(d, lower.data(), upper.data(), rng);
    EXPECT_EQ(words_used(rng), 4 * d);
    ASSERT_EQ(model.projections.size(), 4 * d);
    EXPECT_EQ(model.dim, d);
    for (uint64_t p = 0; p < 4; ++p) {
        double lo = 0.0, hi = 0.0;  // the bounds are dyadic, so these sums are exact
        for (uint64_t t = 0; t < d; ++t) {
            const bool positive = (next_u32(copy) & 0x80000000u) != 0;
            EXPECT_EQ(model.projections[p * d + t], positive ? 1.0f : -1.0f);
            lo += positive ? lower[t] : -upper[t];
            hi += positive ? upper[t] : -lower[t];
        }
        EXPECT_EQ(model.proj_min[p], static_cast<float>(lo));
        EXPECT_EQ(model.proj_max[p], static_cast<float>(hi));
    }
    EXPECT_TRUE(model.anchors.empty() && model.coarse_posteriors.empty() && model.fine_posteriors.empty());
    EXPECT_EQ(model.total_cost, 0u);
    EXPECT_EQ(model.total_visits, 0u);
}

// --------------------------------------------------------------------- keys

// One feature, projections +x, -x, +x, -x with hand-set ranges, so each of the
// four bin positions of a key can be checked separately.
NoveltyModel one_feature_model() {
    NoveltyModel m;
    m.dim = 1;
    m.projections = {1.0f, -1.0f, 1.0f, -1.0f};
    const float lo[4] = {0.0f, -1.0f, 0.0f, -4.0f};
    const float hi[4] = {1.0f, 0.0f, 2.0f, 4.0f};
    std::copy(lo, lo + 4, m.proj_min);
    std::copy(hi, hi + 4, m.proj_max);
    return m;
}

struct KeyCase {
    const char* name;
    float x;
    uint64_t bins[4][2];  // (coarse, fine) bin of each projection
};

TEST(BatchingKeys, BinsPerProjection) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const KeyCase cases[] = {
        // f = 1, 0 (clamped), 0.5, 0.375
        {"upper end of range", 1.0f, {{3, 7}, {0, 0}, {2, 4}, {1, 3}}},
        // f = 0 (clamped), 1 (clamped), 0 (clamped), 0.875
        {"below range", -3.0f, {{0, 0}, {3, 7}, {0, 0}, {3, 7}}},
        // f = 0.3, 0.7, 0.15, 0.4625
        {"interior", 0.3f, {{1, 2}, {2, 5}, {0, 1}, {1, 3}}},
        // f = 0, 1, 0, 0.5: the ends of the ranges themselves
        {"lower end", 0.0f, {{0, 0}, {3, 7}, {0, 0}, {2, 4}}},
        {"NaN point", nan, {{0, 0}, {0, 0}, {0, 0}, {0, 0}}},
    };
    const NoveltyModel m = one_feature_model();
    for (const KeyCase& c : cases) {
        SCOPED_TRACE(c.name);
        const CellKeys k = keys(m, &c.x);
        uint64_t coarse = 0, fine = 0;
        for (int p = 0; p < 4; ++p) {
            coarse |= c.bins[p][0] << (2 * (3 - p));
            fine |= c.bins[p][1] << (3 * (3 - p));
        }
        EXPECT_EQ(k.coarse, coarse);
        EXPECT_EQ(k.fine, fine);
    }
}

TEST(BatchingKeys, ZeroWidthBoxGivesTheMiddleCell) {
    const std::vector<float> box = {0.25f, -0.125f, 0.5f};
    StdRng rng = seed_from_u64(3);
    const NoveltyModel m = make_novelty_model(3, box.data(), box.data(), rng);
    for (const std::vector<float>& point :
         {box, std::vector<float>{1.0f, 2.0f, -3.0f}, std::vector<float>{-0.0f, 0.0f, 0.0f}}) {
        const CellKeys k = keys(m, point.data());
        EXPECT_EQ(k.coarse, 0b10101010u);            // bin 2 on every projection
        EXPECT_EQ(k.fine, 4u * 512 + 4 * 64 + 4 * 8 + 4);  // bin 4 on every projection
    }
}

// ------------------------------------------------------------ record_outcome

TEST(BatchingRecord, CountsSaturateAndSuccessesBecomeAnchors) {
    constexpr uint32_t kU32Max = std::numeric_limits<uint32_t>::max();
    constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();
    NoveltyModel m = one_feature_model();
    const float start = 0.4f;
    const CellKeys cell{5, 77};

    record_outcome(m, cell, &start, 0, false);  // no sweep still costs 1
    EXPECT_EQ(m.coarse_posteriors.at(5).cost_sum, 1u);
    EXPECT_EQ(m.fine_posteriors.at(77).failures, 1u);
    EXPECT_EQ(m.total_cost, 1u);
    EXPECT_TRUE(m.anchors.empty());

    record_outcome(m, cell, &start, 6, true);
    const Posterior& fine = m.fine_posteriors.at(77);
    EXPECT_EQ(fine.successes, 1u);
    EXPECT_EQ(fine.failures, 1u);
    EXPECT_EQ(fine.visits, 2u);
    EXPECT_EQ(fine.cost_sum, 7u);
    EXPECT_EQ(m.coarse_posteriors.at(5).visits, 2u);
    EXPECT_EQ(m.total_visits, 2u);
    EXPECT_EQ(m.anchors, std::vector<float>{start});

    Posterior& c = m.coarse_posteriors.at(5);
    Posterior& f = m.fine_posteriors.at(77);
    c.visits = kU32Max;
    c.successes = kU32Max;
    c.cost_sum = kU64Max - 3;
    f.failures = kU32Max;
    f.cost_sum = kU64Max;
    m.total_cost = kU64Max - 1;
    m.total_visits = kU64Max;
    record_outcome(m, cell, &start, 10, true);
    record_outcome(m, cell, &start, 10, false);
    EXPECT_EQ(c.visits, kU32Max);
    EXPECT_EQ(c.successes, kU32Max);
    EXPECT_EQ(c.cost_sum, kU64Max);
    EXPECT_EQ(f.failures, kU32Max);
    EXPECT_EQ(f.cost_sum, kU64Max);
    EXPECT_EQ(f.visits, 4u);
    EXPECT_EQ(m.total_cost, kU64Max);
    EXPECT_EQ(m.total_visits, kU64Max);
    EXPECT_EQ(m.anchors.size(), 2u);
}

// -------------------------------------------------------------- select_batch

struct Replayed {
    std::vector<float> pool;
    std::vector<CellKeys> cells;
    std::vector<double> score;
    std::vector<double> tau;
};

double replay_cell_score(StdRng& g, const std::unordered_map<uint64_t, Posterior>& posts, uint64_t key,
                         double m0) {
    auto it = posts.find(key);
    if (it == posts.end()) return sample_beta(g, 1.0, 1.0) / std::max(m0, 1.0);
    const Posterior& p = it->second;
    const double x = sample_beta(g, p.successes + 1.0, p.failures + 1.0);
    return x / std::max(static_cast<double>(p.cost_sum) / p.visits, 1.0);
}

// The candidate pool and its scores, drawn in the order select_batch must use.
Replayed replay_pool(const NoveltyModel& m, StdRng& g, uint64_t n, const std::vector<float>& lower,
                     const std::vector<float>& upper) {
    const uint64_t d = m.dim;
    Replayed r;
    r.pool = generate_random_points_from_bounds(4 * n, d, lower.data(), upper.data(), g).value();
    if (!m.anchors.empty()) {
        const float rho = 0.2f / std::sqrt(static_cast<float>(d));
        for (uint64_t row = 3 * n; row < 4 * n; ++row) {
            const uint64_t k = sample_index(g, m.anchors.size() / d);
            for (uint64_t t = 0; t < d; ++t) {
                const float u = sample_inclusive_f32(g, -rho, rho).value();
                const float v = m.anchors[k * d + t] + (upper[t] - lower[t]) * u;
                r.pool[row * d + t] = std::clamp(v, lower[t], upper[t]);
            }
        }
    }
    const double m0 = m.total_visits ? static_cast<double>(m.total_cost) / m.total_visits : 1.0;
    std::vector<std::pair<bool, double>> coarse(256), fine(4096);
    for (uint64_t i = 0; i < 4 * n; ++i) {
        const CellKeys k = keys(m, r.pool.data() + i * d);
        if (!coarse[k.coarse].first) coarse[k.coarse] = {true, replay_cell_score(g, m.coarse_posteriors, k.coarse, m0)};
        if (!fine[k.fine].first) fine[k.fine] = {true, replay_cell_score(g, m.fine_posteriors, k.fine, m0)};
        r.cells.push_back(k);
        r.tau.push_back(sample_unit_f64(g));
        r.score.push_back(0.35 * coarse[k.coarse].second + 0.65 * fine[k.fine].second);
    }
    return r;
}

// Candidate indices in the order they must be returned.
std::vector<uint64_t> expected_picks(const Replayed& r, uint64_t n) {
    std::vector<uint64_t> order(r.score.size());
    for (uint64_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](uint64_t a, uint64_t b) {
        return std::tie(r.score[a], r.tau[a]) > std::tie(r.score[b], r.tau[b]);
    });
    std::vector<uint64_t> first, rest;
    std::set<uint64_t> seen;
    for (uint64_t i : order) {
        if (first.size() == n) break;
        (seen.insert(r.cells[i].fine).second ? first : rest).push_back(i);
    }
    for (uint64_t i : rest) {
        if (first.size() == n) break;
        first.push_back(i);
    }
    return first;
}

void expect_batch_matches_replay(const NoveltyModel& m, uint64_t seed, uint64_t n, const std::vector<float>& lower,
                                 const std::vector<float>& upper) {
    const uint64_t d = m.dim;
    StdRng rng = seed_from_u64(seed);
    StdRng replay_rng = rng;
    const auto got = select_batch(m, rng, n, lower.data(), upper.data());
    ASSERT_TRUE(got.ok()) << got.message();
    const Replayed r = replay_pool(m, replay_rng, n, lower, upper);
    const std::vector<uint64_t> picks = expected_picks(r, n);

    ASSERT_EQ(got.value().points.size(), n * d);
    ASSERT_EQ(got.value().keys.size(), n);
    for (uint64_t k = 0; k < n; ++k) {
        const uint64_t i = picks[k];
        for (uint64_t t = 0; t < d; ++t) EXPECT_EQ(got.value().points[k * d + t], r.pool[i * d + t]) << "row " << k;
        EXPECT_EQ(got.value().keys[k].coarse, r.cells[i].coarse) << "row " << k;
        EXPECT_EQ(got.value().keys[k].fine, r.cells[i].fine) << "row " << k;
    }
    EXPECT_EQ(words_used(rng), words_used(replay_rng));
    EXPECT_EQ(next_u32(rng), next_u32(replay_rng));
}

TEST(BatchingSelect, FreshModelScoresUniformCells) {
    const std::vector<float> lower = {-0.5f, -0.3f, -0.1f};
    const std::vector<float> upper = {0.5f, 0.2f, 0.4f};
    StdRng model_rng = seed_from_u64(11);
    const NoveltyModel m = make_novelty_model(3, lower.data(), upper.data(), model_rng);
    expect_batch_matches_replay(m, 5, 40, lower, upper);

    // With 160 candidates over at most 4096 fine cells there are enough distinct
    // cells for every pick to come from a different one.
    StdRng rng = seed_from_u64(5);
    const auto got = select_batch(m, rng, 40, lower.data(), upper.data()).value();
    std::set<uint64_t> fine;
    for (const CellKeys& k : got.keys) fine.insert(k.fine);
    EXPECT_EQ(fine.size(), 40u);
}

TEST(BatchingSelect, FewFineCellsAreFilledFromTheDeferredList) {
    const std::vector<float> lower = {-0.5f};
    const std::vector<float> upper = {0.5f};
    StdRng model_rng = seed_from_u64(2);
    const NoveltyModel m = make_novelty_model(1, lower.data(), upper.data(), model_rng);
    const uint64_t n = 32;
    expect_batch_matches_replay(m, 9, n, lower, upper);

    StdRng rng = seed_from_u64(9);
    StdRng replay_rng = rng;
    const auto got = select_batch(m, rng, n, lower.data(), upper.data()).value();
    const Replayed r = replay_pool(m, replay_rng, n, lower, upper);
    std::set<uint64_t> pool_cells;
    for (const CellKeys& k : r.cells) pool_cells.insert(k.fine);
    ASSERT_LT(pool_cells.size(), n);  // one feature: only a few fine cells exist
    std::set<uint64_t> leading;
    for (uint64_t k = 0; k < pool_cells.size(); ++k) leading.insert(got.keys[k].fine);
    EXPECT_EQ(leading, pool_cells);
}

TEST(BatchingSelect, AnchorsAndPosteriorsShapeTheBatch) {
    const std::vector<float> lower = {-0.5f, -0.5f};
    const std::vector<float> upper = {0.5f, 0.0f};
    StdRng model_rng = seed_from_u64(4);
    NoveltyModel m = make_novelty_model(2, lower.data(), upper.data(), model_rng);
    const std::vector<std::vector<float>> starts = {{0.1f, -0.2f}, {-0.4f, -0.45f}, {0.49f, -0.01f}, {0.0f, -0.25f}};
    for (size_t i = 0; i < starts.size(); ++i) {
        record_outcome(m, keys(m, starts[i].data()), starts[i].data(), 3 + i, i % 2 == 0);
    }
    ASSERT_EQ(m.anchors.size(), 4u);
    expect_batch_matches_replay(m, 21, 25, lower, upper);

    // The local quarter stays inside the box and near an anchor.
    StdRng rng = seed_from_u64(21);
    StdRng replay_rng = rng;
    const Replayed r = replay_pool(m, replay_rng, 25, lower, upper);
    const float rho = 0.2f / std::sqrt(2.0f);
    for (uint64_t row = 75; row < 100; ++row) {
        double best = INFINITY;
        for (uint64_t a = 0; a < 2; ++a) {
            double far = 0.0;
            for (uint64_t t = 0; t < 2; ++t) {
                const double v = r.pool[row * 2 + t];
                EXPECT_TRUE(v >= lower[t] && v <= upper[t]);
                far = std::max(far, std::abs(v - m.anchors[a * 2 + t]) / (upper[t] - lower[t]));
            }
            best = std::min(best, far);
        }
        EXPECT_LE(best, rho * (1 + 1e-6));
    }
}

TEST(BatchingSelect, EmptyAndOversizedRequestsDrawNothing) {
    const std::vector<float> lower = {-0.5f, -0.5f};
    const std::vector<float> upper = {0.5f, 0.5f};
    StdRng model_rng = seed_from_u64(1);
    const NoveltyModel m = make_novelty_model(2, lower.data(), upper.data(), model_rng);
    struct Case {
        uint64_t n;
        const char* message;  // nullptr: an empty batch
    } cases[] = {
        {0, nullptr},
        {uint64_t{1} << 62, "batch_size is too large"},
        {std::numeric_limits<uint64_t>::max(), "batch_size is too large"},
        {uint64_t{1} << 61, "candidate pool is too large"},  // 4n = 2^63, times d = 2 overflows
    };
    for (const Case& c : cases) {
        StdRng rng = seed_from_u64(8);
        const auto got = select_batch(m, rng, c.n, lower.data(), upper.data());
        if (c.message) {
            ASSERT_FALSE(got.ok());
            EXPECT_EQ(got.message(), c.message);
        } else {
            ASSERT_TRUE(got.ok());
            EXPECT_TRUE(got.value().points.empty() && got.value().keys.empty());
        }
        EXPECT_EQ(words_used(rng), 0u) << c.n;
    }
}

// ---------------------------------------------------------------- the driver

BatchSettings valid_settings() {
    BatchSettings s;
    s.seed = 1;
    s.n_points = 4;
    s.batch_size = 4;
    s.max_batches = 2;
    s.max_iter = 10;
    s.scaled_tol = 1e-6f;
    return s;
}

TEST(BatchingDriver, ChecksInOrder) {
    const float two_rows[2] = {0.0f, 1.0f};
    const uint64_t two_labels[2] = {0, 1};
    constexpr uint64_t kBig = uint64_t{1} << 31;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        const char* message;
        uint64_t n, d, data_len, labels_len;
        BatchSettings s;
    };
    auto with = [](auto edit) {
        BatchSettings s = valid_settings();
        edit(s);
        return s;
    };
    // Each row also breaks every later check, so a check made out of order shows.
    auto broken = [nan](BatchSettings& s) {
        s.n_points = 0;
        s.batch_size = 0;
        s.max_batches = 0;
        s.max_iter = 0;
        s.scaled_tol = nan;
    };
    const Case cases[] = {
        {"data dimensions are too large", uint64_t{1} << 33, uint64_t{1} << 31, 2, 2, with(broken)},
        {"invalid data dimensions", 0, 1, 2, 2, with(broken)},
        {"invalid data dimensions", 2, 0, 2, 2, with(broken)},
        {"invalid data dimensions", 2, 1, 3, 2, with(broken)},
        {"labels must match the number of data points", 2, 1, 2, 1, with(broken)},
        {"target_points must be greater than zero", 2, 1, 2, 2, with(broken)},
        {"batch_size must be greater than zero", 2, 1, 2, 2, with([&](BatchSettings& s) { broken(s); s.n_points = 1; })},
        {"max_batches must be greater than zero", 2, 1, 2, 2,
         with([&](BatchSettings& s) { broken(s); s.n_points = s.batch_size = 1; })},
        {"max_iterations must be greater than zero", 2, 1, 2, 2,
         with([&](BatchSettings& s) { broken(s); s.n_points = s.batch_size = s.max_batches = 1; })},
        {"tolerance must be finite and non-negative", 2, 1, 2, 2,
         with([&](BatchSettings& s) { s.scaled_tol = nan; s.batch_size = kBig; })},
        {"tolerance must be finite and non-negative", 2, 1, 2, 2, with([&](BatchSettings& s) { s.scaled_tol = inf; })},
        {"tolerance must be finite and non-negative", 2, 1, 2, 2, with([&](BatchSettings& s) { s.scaled_tol = -inf; })},
        {"tolerance must be finite and non-negative", 2, 1, 2, 2,
         with([&](BatchSettings& s) { s.scaled_tol = -std::numeric_limits<float>::denorm_min(); })},
        {"data dimensions exceed the supported BLAS integer range", 2, 2, 4, 2,
         with([&](BatchSettings& s) { s.batch_size = kBig; s.n_points = uint64_t{1} << 63; })},
        {"data dimensions exceed the supported BLAS integer range", kBig, 1, kBig, kBig, valid_settings()},
        {"data dimensions exceed the supported BLAS integer range", 2, kBig, 2 * kBig, 2,
         with([&](BatchSettings& s) { s.n_points = uint64_t{1} << 40; })},
        {"batch dimensions are too large", 2, 2, 4, 2,
         with([&](BatchSettings& s) { s.n_points = uint64_t{1} << 63; })},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        // The checks look only at the sizes; the spans are never read when a check fails.
        const std::span<const float> data(two_rows, c.data_len);
        const std::span<const uint64_t> labels(two_labels, c.labels_len);
        const auto got = tresk_batched_core(c.n, c.d, data, labels, c.s);
        ASSERT_FALSE(got.ok());
        EXPECT_EQ(got.error().kind, ErrorKind::invalid_input);
        EXPECT_EQ(got.message(), c.message);
    }
}

TEST(BatchingDriver, ZeroAndSubnormalTolerancesAreAccepted) {
    const float rows[4] = {0.0f, 0.0f, 1.0f, 0.5f};
    const uint64_t labels[2] = {0, 1};
    for (float tol : {0.0f, -0.0f, std::numeric_limits<float>::denorm_min()}) {
        BatchSettings s = valid_settings();
        s.scaled_tol = tol;
        const auto got = tresk_batched_core(2, 2, rows, labels, s);
        ASSERT_TRUE(got.ok()) << got.message();
        // Two rows have one pair, found at most once.
        EXPECT_LE(got.value().pairs.size(), 1u);
    }
}

// Eleven rows on a line with alternating classes: a start point strictly
// between rows i and i+1 converges onto their midpoint with pair (i, i+1) in
// two sweeps, so a whole run can be replayed without the convergence loop.
struct LineData {
    std::vector<float> x;
    std::vector<uint64_t> labels;
    LineData() {
        for (int i = 0; i <= 10; ++i) {
            x.push_back(static_cast<float>(i) / 10.0f - 0.5f);
            labels.push_back(static_cast<uint64_t>(i % 2));
        }
    }
    Pair pair_of(float v) const {
        uint64_t i = 0;
        while (i + 2 < x.size() && v >= x[i + 1]) ++i;
        return {i, i + 1};
    }
};

struct ReplayedRun {
    std::vector<Pair> pairs;
    std::vector<uint64_t> widths;
    std::vector<uint64_t> added;
    std::vector<bool> uniform;
};

ReplayedRun replay_line_run(const LineData& line, const BatchSettings& s) {
    const std::vector<float> lower = {line.x.front()};
    const std::vector<float> upper = {line.x.back()};
    StdRng rng = seed_from_u64(*s.seed);
    StdRng model_rng = seed_from_u64(*s.seed ^ 0x9E3779B97F4A7C15ull);
    NoveltyModel m = make_novelty_model(1, lower.data(), upper.data(), model_rng);
    ReplayedRun run;
    std::set<std::pair<uint64_t, uint64_t>> seen;
    double ratio = 1.0;
    for (uint64_t batch = 0; batch < s.max_batches && run.pairs.size() < s.n_points; ++batch) {
        const uint64_t w = std::min<uint64_t>(s.n_points - run.pairs.size(), s.batch_size);
        std::vector<float> start;
        std::vector<CellKeys> cells;
        const bool uniform = batch == 0 || ratio >= 0.75;
        if (uniform) {
            start = generate_random_points_from_bounds(w, 1, lower.data(), upper.data(), rng).value();
            for (float v : start) cells.push_back(keys(m, &v));
        } else {
            auto sel = select_batch(m, rng, w, lower.data(), upper.data()).value();
            start = sel.points;
            cells = sel.keys;
        }
        const size_t before = run.pairs.size();
        for (uint64_t i = 0; i < w; ++i) {
            const Pair p = line.pair_of(start[i]);
            const bool fresh = seen.insert({p.first, p.second}).second;
            record_outcome(m, cells[i], &start[i], 2, fresh);
            if (fresh) run.pairs.push_back(p);
        }
        run.widths.push_back(w);
        run.added.push_back(run.pairs.size() - before);
        run.uniform.push_back(uniform);
        ratio = static_cast<double>(run.pairs.size() - before) / static_cast<double>(w);
    }
    return run;
}

TEST(BatchingDriver, RunMatchesReplay) {
    const LineData line;
    struct Case {
        const char* name;
        uint64_t seed, batch_size;
        std::vector<uint64_t> widths, added;  // of the first two batches
        bool second_uniform;
    } cases[] = {
        // 7 of 8 is a ratio above 0.75, and only 3 pairs are still missing.
        {"last batch shrinks", 3, 8, {8, 3}, {7}, true},
        // 3 of 4 is exactly the ratio that keeps batches uniform.
        {"ratio 0.75 stays uniform", 0, 4, {4, 4}, {3}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BatchSettings s = valid_settings();
        s.seed = c.seed;
        s.n_points = 10;
        s.batch_size = c.batch_size;
        s.max_batches = 8;
        s.scaled_tol = 0.0f;
        const ReplayedRun expected = replay_line_run(line, s);
        // The seeds were picked for these first batches; the checks keep them honest.
        ASSERT_GE(expected.widths.size(), 2u);
        EXPECT_EQ(std::vector<uint64_t>(expected.widths.begin(), expected.widths.begin() + 2), c.widths);
        EXPECT_EQ(expected.added[0], c.added[0]);
        EXPECT_EQ(expected.uniform[1], c.second_uniform);
        EXPECT_TRUE(std::count(expected.uniform.begin(), expected.uniform.end(), false) >= 1);

        for (bool parallel : {false, true}) {
            SCOPED_TRACE(parallel ? "parallel" : "serial");
            s.parallel = parallel;
            const auto got = tresk_batched_core(line.x.size(), 1, line.x, line.labels, s);
            ASSERT_TRUE(got.ok()) << got.message();
            const BatchedResult& r = got.value();
            ASSERT_EQ(r.pairs.size(), expected.pairs.size());
            ASSERT_EQ(r.points.size(), r.pairs.size());
            for (size_t k = 0; k < r.pairs.size(); ++k) {
                EXPECT_EQ(r.pairs[k], expected.pairs[k]) << k;
                const double mid = 0.5 * (line.x[r.pairs[k].first] + line.x[r.pairs[k].second]);
                EXPECT_NEAR(r.points[k], mid, 1e-6) << k;
            }
        }
    }
}

TEST(BatchingDriver, AcceptedPointsTakeTheMemoryOfWhatIsFound) {
    // Two rows in 1,024 dimensions have a single pair. Room for n_points rows
    // would be 8 TiB, for all that 16 batches of 64 could accept 4 MiB; the
    // run finds one point and holds room for about that.
    const uint64_t d = 1024;
    std::vector<float> rows(2 * d, 0.0f);
    rows[d] = 1.0f;
    const uint64_t labels[2] = {0, 1};
    BatchSettings s = valid_settings();
    s.n_points = uint64_t{1} << 31;
    s.batch_size = 64;
    s.max_batches = 16;
    const auto got = tresk_batched_core(2, d, rows, labels, s);
    ASSERT_TRUE(got.ok()) << got.message();
    EXPECT_EQ(got.value().pairs.size(), 1u);
    EXPECT_EQ(got.value().points.size(), d);
    EXPECT_LE(got.value().points.capacity(), 2 * d);
    EXPECT_LE(got.value().pairs.capacity(), 2u);
}

// Both drivers on data large enough for the pool to split every sweep, from
// several threads at once: the pooled runs give the serial run's points, and
// unseeded runs (each thread keying its own generator) complete. The
// thread-sanitizer build runs this for the pool, the sweeps and the drivers.
TEST(BatchingDriver, PooledRunsFromSeveralThreadsMatchSerial) {
    constexpr uint64_t n = 3000, d = 4;
    std::mt19937 gen(5);
    std::uniform_real_distribution<float> coordinate(-0.5f, 0.5f);
    std::vector<float> data(n * d);
    for (float& v : data) v = coordinate(gen);
    std::vector<uint64_t> labels(n);
    for (uint64_t i = 0; i < n; ++i) labels[i] = i % 3;

    BatchSettings s = valid_settings();
    s.seed = 11;
    s.n_points = 60;
    s.batch_size = 48;
    s.max_batches = 3;
    s.max_iter = 8;
    const auto serial = tresk_batched_core(n, d, data, labels, s);
    ASSERT_TRUE(serial.ok()) << serial.message();
    const auto dense_serial = tresk_core(48, n, d, data.data(), 1e-6f, labels.data(), 8, false, 11);
    ASSERT_TRUE(dense_serial.ok());

    constexpr int kThreads = 3;
    std::vector<int> same(kThreads, 0), unseeded_ok(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            BatchSettings pooled = s;
            pooled.parallel = true;
            const auto sparse = tresk_batched_core(n, d, data, labels, pooled);
            const auto dense = tresk_core(48, n, d, data.data(), 1e-6f, labels.data(), 8, true, 11);
            same[t] = sparse.ok() && sparse.value().points == serial.value().points &&
                      sparse.value().pairs == serial.value().pairs && dense.ok() &&
                      dense.value() == dense_serial.value();
            pooled.seed.reset();
            const auto fresh = tresk_batched_core(n, d, data, labels, pooled);
            const auto fresh_dense = tresk_core(48, n, d, data.data(), 1e-6f, labels.data(), 8, true, std::nullopt);
            unseeded_ok[t] = fresh.ok() && !fresh.value().points.empty() && fresh_dense.ok() &&
                             fresh_dense.value().size() == 48 * d;
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(same, std::vector<int>(kThreads, 1));
    EXPECT_EQ(unseeded_ok, std::vector<int>(kThreads, 1));
}

}  // namespace
}  // namespace vantrel
