// The dense search: projection examples, block sizes, the convergence loop's
// outcomes and tracking, strategy and pool independence, bounds and start points.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <vector>

#include "blas_ops.hpp"
#include "search.hpp"

namespace vantrel {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// ---------------------------------------------------------------------------
// Projection

TEST(Projection, OneDimensionalExample) {
    const std::vector<float> data = {0.0f, 2.0f};
    float point = 5.0f;
    EXPECT_EQ(project_onto_bisector(&point, data.data(), 1, 0, 1), 16.0f);
    EXPECT_EQ(point, 1.0f);
}

TEST(Projection, PointOnBisectorStaysPut) {
    const std::vector<float> data = {0.25f, -1.0f, 3.0f, 0.5f, 2.25f, 0.5f};
    // Row 0 = (0.25, -1), row 1 = (3, 0.5): the midpoint itself and a point
    // moved from it along a normal of (x1 - x0) lie on the bisector exactly.
    for (std::vector<float> point : {std::vector<float>{1.625f, -0.25f}, std::vector<float>{1.625f - 1.5f, -0.25f + 2.75f}}) {
        const std::vector<float> before = point;
        EXPECT_EQ(project_onto_bisector(point.data(), data.data(), 2, 0, 1), 0.0f);
        EXPECT_TRUE(same_bits(point, before));
    }
}

TEST(Projection, CoincidingRowsLeaveThePoint) {
    const std::vector<float> data = {1.0f, 2.0f, 1.0f, 2.0f, 4.0f, 4.0f};
    const struct {
        uint64_t i, j;
    } cases[] = {{0, 0}, {2, 2}, {0, 1}};
    for (const auto& c : cases) {
        std::vector<float> point = {7.0f, -3.0f};
        EXPECT_EQ(project_onto_bisector(point.data(), data.data(), 2, c.i, c.j), kInf);
        EXPECT_TRUE(same_bits(point, (std::vector<float>{7.0f, -3.0f})));
    }
}

TEST(Projection, NaNCoordinateSpreads) {
    const std::vector<float> data = {0.0f, 0.0f, 1.0f, 3.0f};
    std::vector<float> point = {kNaN, 1.0f};
    EXPECT_TRUE(std::isnan(project_onto_bisector(point.data(), data.data(), 2, 0, 1)));
    EXPECT_TRUE(std::isnan(point[0]));
    EXPECT_TRUE(std::isnan(point[1]));
}

TEST(Projection, LandsOnTheBisectorInDouble) {
    std::mt19937 gen(3);
    std::uniform_real_distribution<float> uni(-1.0f, 1.0f);
    const uint64_t d = 9;
    for (int trial = 0; trial < 50; ++trial) {
        std::vector<float> data(2 * d), point(d);
        for (float& v : data) v = uni(gen);
        for (float& v : point) v = 3.0f * uni(gen);
        const std::vector<float> start = point;
        const float moved = project_onto_bisector(point.data(), data.data(), d, 0, 1);
        double to_a = 0, to_b = 0, step = 0;
        for (uint64_t k = 0; k < d; ++k) {
            to_a += std::pow(double(point[k]) - data[k], 2);
            to_b += std::pow(double(point[k]) - data[d + k], 2);
            step += std::pow(double(point[k]) - start[k], 2);
        }
        EXPECT_NEAR(to_a, to_b, 1e-5 * (to_a + to_b));
        EXPECT_NEAR(moved, step, 1e-5 * step + 1e-12);
    }
}

// ---------------------------------------------------------------------------
// Strategy and block sizes

TEST(BlockSizes, StrategyBoundary) {
    EXPECT_TRUE(uses_full_iteration(4096, 2048));       // 8,388,608
    EXPECT_TRUE(uses_full_iteration(1, 8388608));
    EXPECT_FALSE(uses_full_iteration(1, 8388609));
    EXPECT_FALSE(uses_full_iteration(3, 2796203));      // 8,388,609
    EXPECT_FALSE(uses_full_iteration(uint64_t{1} << 40, uint64_t{1} << 40));  // product overflows
}

struct SizeCase {
    uint64_t m, n, limit, query_rows, data_rows;
};

TEST(BlockSizes, Table) {
    const SizeCase cases[] = {
        {1000, 10000, kMaxProductElements, 1000, 2048},
        {100000, 100, kMaxProductElements, 83886, 100},
        {20000000, 9000000, kMaxProductElements, 2896, 2896},  // rows beyond the limit, fewer than queries
        {2147483647, 2147483647, kMaxProductElements, 8388608, 1},
        {100, 50000000, kMaxProductElements, 100, 2048},
        {50000000, 50000001, kMaxProductElements, 8388608, 1},  // one row per block, still bounded
        {50, 200, 64, 50, 1},
        {50, 200, 500, 50, 10},
        {300, 200, 1000, 5, 200},
    };
    for (const SizeCase& c : cases) {
        const BlockSizes s = chunk_block_sizes(c.m, c.n, c.limit);
        EXPECT_EQ(s.query_rows, c.query_rows) << c.m << " x " << c.n;
        EXPECT_EQ(s.data_rows, c.data_rows) << c.m << " x " << c.n;
        EXPECT_LE(s.query_rows * s.data_rows, c.limit);
    }
}

// ---------------------------------------------------------------------------
// Convergence loop

struct Problem {
    uint64_t n = 0, d = 0;
    std::vector<float> data;
    std::vector<uint64_t> labels;
    std::vector<float> half;
};

Problem make_problem(uint64_t n, uint64_t d, uint64_t classes, uint64_t seed, bool integers = false) {
    Problem p;
    p.n = n;
    p.d = d;
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<float> uni(-0.5f, 0.5f);
    p.data.resize(n * d);
    for (float& v : p.data) v = integers ? static_cast<float>(static_cast<int>(gen() % 7) - 3) : uni(gen);
    p.labels.resize(n);
    for (uint64_t j = 0; j < n; ++j) p.labels[j] = j < classes ? j : gen() % classes;
    p.half = half_row_norms_sq(row_norms_sq(n, d, p.data.data()));
    return p;
}

std::vector<float> start_points(uint64_t m, uint64_t d, uint64_t seed, bool integers = false) {
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<float> uni(-0.6f, 0.6f);
    std::vector<float> points(m * d);
    for (float& v : points) v = integers ? static_cast<float>(static_cast<int>(gen() % 9) - 4) : uni(gen);
    return points;
}

ConvergenceResult run(const Problem& p, std::vector<float> points, uint64_t max_iter, bool parallel, bool track,
                      uint64_t limit = kMaxProductElements, float tol = 1e-10f) {
    return converge_points_with_limit(std::move(points), p.n, p.d, p.data.data(), tol, p.half.data(),
                                      p.labels.data(), max_iter, parallel, track, limit);
}

void expect_identical(const ConvergenceResult& a, const ConvergenceResult& b) {
    EXPECT_TRUE(same_bits(a.points, b.points));
    EXPECT_EQ(a.pairs, b.pairs);
    EXPECT_EQ(a.converged, b.converged);
    EXPECT_EQ(a.converged_at, b.converged_at);
    EXPECT_EQ(a.iterations, b.iterations);
    EXPECT_EQ(std::memcmp(&a.mean_displacement, &b.mean_displacement, sizeof(float)), 0);
    EXPECT_EQ(a.all_converged, b.all_converged);
}

// Rows (0,0) class 0 and (2,0) class 1: point 0 starts on the bisector
// (converges in sweep 1), point 1 is moved onto it and converges in sweep 2
// when its pair repeats, point 2 is NaN and never finds a pair.
TEST(ConvergenceLoop, ThreePointTracking) {
    Problem p;
    p.n = 2;
    p.d = 2;
    p.data = {0.0f, 0.0f, 2.0f, 0.0f};
    p.labels = {0, 1};
    p.half = half_row_norms_sq(row_norms_sq(2, 2, p.data.data()));
    const std::vector<float> start = {1.0f, 0.5f, 0.5f, 0.3f, kNaN, kNaN};
    for (uint64_t limit : {kMaxProductElements, uint64_t{1}}) {
        for (bool parallel : {false, true}) {
            const ConvergenceResult r = run(p, start, 5, parallel, true, limit, 0.0f);
            EXPECT_EQ(r.iterations, 5u);
            EXPECT_EQ(r.converged, (std::vector<uint8_t>{1, 1, 0}));
            EXPECT_EQ(r.converged_at, (std::vector<uint64_t>{1, 2, 5}));
            EXPECT_FALSE(r.all_converged);
            EXPECT_EQ(r.pairs, (std::vector<Pair>{{0, 1}, {0, 1}, kNoPair}));
            EXPECT_EQ(r.mean_displacement, kInf);
            EXPECT_EQ(r.points[0], 1.0f);
            EXPECT_EQ(r.points[1], 0.5f);
            EXPECT_EQ(r.points[2], 1.0f);
            EXPECT_EQ(r.points[3], 0.3f);
        }
    }
    // Without the NaN point everything has converged after sweep 2.
    const ConvergenceResult r = run(p, {1.0f, 0.5f, 0.5f, 0.3f}, 5, false, true, kMaxProductElements, 0.0f);
    EXPECT_EQ(r.iterations, 2u);
    EXPECT_TRUE(r.all_converged);
    EXPECT_EQ(r.converged_at, (std::vector<uint64_t>{1, 2}));
    EXPECT_EQ(r.mean_displacement, 0.0f);
    // Without tracking converged_at stays empty; one permitted sweep stops there.
    const ConvergenceResult once = run(p, {0.5f, 0.3f}, 1, false, false, kMaxProductElements, 0.0f);
    EXPECT_TRUE(once.converged_at.empty());
    EXPECT_EQ(once.iterations, 1u);
    EXPECT_FALSE(once.all_converged);
    EXPECT_EQ(once.mean_displacement, 0.25f);
}

// Integer data and start points make every product exact whatever the block
// shape, and the grid is full of ties: one sweep must agree in every bit.
TEST(ConvergenceLoop, FullAndChunkedAgreeOnExactProducts) {
    const Problem p = make_problem(200, 3, 4, 11, true);
    const std::vector<float> start = start_points(50, 3, 12, true);
    const ConvergenceResult full = run(p, start, 1, false, true);
    for (uint64_t limit : {uint64_t{64}, uint64_t{500}, uint64_t{9999}}) {
        ASSERT_FALSE(uses_full_iteration(50, 200, limit));
        expect_identical(full, run(p, start, 1, false, true, limit));
        expect_identical(full, run(p, start, 1, true, true, limit));
    }
}

// In one dimension each product is a single rounded multiply, so whole runs
// must agree between the strategies, with queries fewer or more than rows.
TEST(ConvergenceLoop, FullAndChunkedAgreeOverManySweeps) {
    for (uint64_t m : {40u, 300u}) {
        const Problem p = make_problem(200, 1, 3, 21);
        const std::vector<float> start = start_points(m, 1, 22);
        const ConvergenceResult full = run(p, start, 30, false, true);
        EXPECT_GT(full.iterations, 1u);
        for (uint64_t limit : {uint64_t{64}, uint64_t{1000}, uint64_t{7000}}) {
            ASSERT_FALSE(uses_full_iteration(m, 200, limit));
            expect_identical(full, run(p, start, 30, false, true, limit));
        }
    }
}

TEST(ConvergenceLoop, PoolDoesNotChangeResults) {
    const Problem p = make_problem(700, 8, 5, 31);
    const std::vector<float> start = start_points(400, 8, 32);
    for (uint64_t limit : {kMaxProductElements, uint64_t{30000}}) {
        const ConvergenceResult serial = run(p, start, 20, false, true, limit);
        expect_identical(serial, run(p, start, 20, true, true, limit));
    }
}

// One scratch across runs of shrinking and growing size, as the batched driver
// keeps it: a buffer reused with stale products in it, or replaced, gives what
// a fresh buffer gives.
TEST(ConvergenceLoop, ReusedProductBufferChangesNothing) {
    const Problem p = make_problem(700, 8, 5, 31);
    for (uint64_t limit : {kMaxProductElements, uint64_t{30000}}) {
        ProductScratch scratch;
        for (uint64_t m : {400u, 50u, 401u}) {
            const std::vector<float> start = start_points(m, 8, 32 + m);
            const ConvergenceResult reused =
                converge_points_with_limit(start, p.n, p.d, p.data.data(), 1e-10f, p.half.data(), p.labels.data(),
                                           20, false, true, limit, nullptr, &scratch);
            expect_identical(run(p, start, 20, false, true, limit), reused);
        }
    }
}

// Converged points lie on the bisector of their pair, that pair is the nearest
// row and the nearest row of another class (float64 brute force), and the
// tracking agrees with the flags.
TEST(ConvergenceLoop, ConvergedPointsSitOnTheirPairsBisector) {
    const Problem p = make_problem(300, 4, 3, 41);
    const ConvergenceResult r = run(p, start_points(200, 4, 42), 100, true, true);
    uint64_t converged = 0;
    for (uint64_t q = 0; q < 200; ++q) {
        if (!r.converged[q]) {
            EXPECT_EQ(r.converged_at[q], r.iterations);
            continue;
        }
        ++converged;
        EXPECT_GE(r.converged_at[q], 1u);
        EXPECT_LE(r.converged_at[q], r.iterations);
        const float* x = r.points.data() + q * 4;
        std::vector<double> dist(p.n);
        uint64_t nearest = 0;
        for (uint64_t j = 0; j < p.n; ++j) {
            double s = 0;
            for (uint64_t k = 0; k < 4; ++k) s += std::pow(double(x[k]) - p.data[j * 4 + k], 2);
            dist[j] = s;
            if (s < dist[nearest]) nearest = j;
        }
        double other = std::numeric_limits<double>::infinity();
        for (uint64_t j = 0; j < p.n; ++j) {
            if (p.labels[j] != p.labels[nearest]) other = std::min(other, dist[j]);
        }
        EXPECT_NEAR(dist[nearest], other, 1e-4 * other) << q;
        EXPECT_NEAR(dist[r.pairs[q].first], dist[r.pairs[q].second], 1e-4 * other) << q;
    }
    EXPECT_GT(converged, 150u);
}

// ---------------------------------------------------------------------------
// Bounds and start points

TEST(DataBounds, PerFeatureExtremesIgnoringNaNAndPartialRows) {
    const std::vector<float> data = {1.0f, kNaN, -2.0f, 3.0f, 0.5f, -7.0f, 99.0f};
    const Bounds b = data_bounds(2, data);
    EXPECT_EQ(b.lower, (std::vector<float>{-2.0f, -7.0f}));
    EXPECT_EQ(b.upper, (std::vector<float>{1.0f, 3.0f}));
    const Bounds one = data_bounds(3, std::span<const float>(data.data(), 3));
    EXPECT_EQ(one.lower[0], 1.0f);
    EXPECT_EQ(one.upper[0], 1.0f);
    EXPECT_EQ(one.lower[1], kInf);  // only NaN seen: the bound keeps its start value
    EXPECT_EQ(one.upper[1], -kInf);
}

float f32_from_hex(const std::string& hex) {
    const uint32_t bits = static_cast<uint32_t>(std::stoul(hex, nullptr, 16));
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

// Reference draws of seed 42 for two ranges: coordinate k of point i comes
// from word i * d + k of the stream, drawn in feature k's range.
TEST(StartPoints, CoordinatesFollowTheWordStream) {
    std::ifstream file(std::string(VANTREL_TESTDATA_DIR) + "/rng_vectors.json");
    ASSERT_TRUE(file.good());
    const nlohmann::json vectors = nlohmann::json::parse(file);
    std::vector<const nlohmann::json*> ranges;
    for (const auto& c : vectors["sample_inclusive_f32"]) {
        if (c["label"] == "unit" || c["label"] == "centred") ranges.push_back(&c);
    }
    ASSERT_EQ(ranges.size(), 2u);
    const uint64_t d = 2;
    std::vector<float> lower, upper;
    for (const auto* c : ranges) {
        ASSERT_EQ((*c)["seed_dec"], "42");
        lower.push_back(f32_from_hex((*c)["low"]["bits"]));
        upper.push_back(f32_from_hex((*c)["high"]["bits"]));
    }
    const uint64_t count = (*ranges[0])["draws"].size() / d;
    ASSERT_GE(count, 4u);
    StdRng rng = seed_from_u64(42);
    auto points = generate_random_points_from_bounds(count, d, lower.data(), upper.data(), rng);
    ASSERT_TRUE(points.ok());
    ASSERT_EQ(points.value().size(), count * d);
    for (uint64_t i = 0; i < count; ++i) {
        for (uint64_t k = 0; k < d; ++k) {
            const float expected = f32_from_hex((*ranges[k])["draws"][i * d + k]["bits"]);
            EXPECT_EQ(points.value()[i * d + k], expected) << i << "," << k;
        }
    }
    // Exactly one word per coordinate.
    StdRng words = seed_from_u64(42);
    for (uint64_t w = 0; w < count * d; ++w) next_u32(words);
    EXPECT_EQ(next_u32(rng), next_u32(words));
}

TEST(StartPoints, ConstantFeatureAndReproducibility) {
    const std::vector<float> lower = {-0.5f, 0.25f, -1.0f}, upper = {0.5f, 0.25f, -0.75f};
    StdRng a = seed_from_u64(7), b = seed_from_u64(7);
    auto pa = generate_random_points_from_bounds(500, 3, lower.data(), upper.data(), a);
    auto pb = generate_random_points_from_bounds(500, 3, lower.data(), upper.data(), b);
    ASSERT_TRUE(pa.ok() && pb.ok());
    EXPECT_TRUE(same_bits(pa.value(), pb.value()));
    for (uint64_t i = 0; i < 500; ++i) {
        EXPECT_EQ(pa.value()[i * 3 + 1], 0.25f);
        for (uint64_t k = 0; k < 3; ++k) {
            EXPECT_GE(pa.value()[i * 3 + k], lower[k]);
            EXPECT_LE(pa.value()[i * 3 + k], upper[k]);
        }
    }
}

TEST(StartPoints, OversizedRequestThrowsBadAlloc) {
    const std::vector<float> lower = {0.0f, 0.0f}, upper = {1.0f, 1.0f};
    StdRng rng = seed_from_u64(1);
    EXPECT_THROW((void)generate_random_points_from_bounds(uint64_t{1} << 63, 2, lower.data(), upper.data(), rng),
                 std::bad_alloc);
    EXPECT_THROW((void)generate_random_points_from_bounds(uint64_t{1} << 61, 2, lower.data(), upper.data(), rng),
                 std::bad_alloc);
}

}  // namespace
}  // namespace vantrel
