// Proximity kernels: norms and the product against double sums, the scan rule
// on hand-made score rows, and the vectorised scan against the row-by-row rule.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "blas_ops.hpp"

namespace vantrel {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

TEST(BlasOpsNorms, EmptyDataGivesNoNorms) {
    EXPECT_TRUE(row_norms_sq(0, 3, nullptr).empty());
    EXPECT_TRUE(half_row_norms_sq({}).empty());
}

TEST(BlasOpsNorms, RowsInOrderAndHalved) {
    // Small integers: every norm is exact in float32.
    const std::vector<float> data = {3, 4, 0, 1, 2, 2, -5, 0, 12};
    const std::vector<float> norms = row_norms_sq(3, 3, data.data());
    ASSERT_EQ(norms, (std::vector<float>{25, 9, 169}));
    EXPECT_EQ(half_row_norms_sq(norms), (std::vector<float>{12.5f, 4.5f, 84.5f}));
}

TEST(BlasOpsProduct, MatchesDoubleDotProducts) {
    std::mt19937 gen(7);
    std::uniform_real_distribution<float> uni(-1.0f, 1.0f);
    const uint64_t r = 5, c = 7, d = 13;
    std::vector<float> q(r * d), x(c * d), out(r * c, kNaN);
    for (float& v : q) v = uni(gen);
    for (float& v : x) v = uni(gen);
    product_block(q.data(), r, x.data(), c, d, out.data());
    for (uint64_t i = 0; i < r; ++i) {
        for (uint64_t t = 0; t < c; ++t) {
            double expected = 0.0;
            for (uint64_t k = 0; k < d; ++k) expected += double(q[i * d + k]) * double(x[t * d + k]);
            EXPECT_NEAR(out[i * c + t], expected, 1e-5) << i << "," << t;
        }
    }
}

// Scores are set directly: products are the scores and the half norms zero.
struct ScanCase {
    const char* name;
    std::vector<uint64_t> classes;
    std::vector<float> scores;
    bool pair;
    uint64_t best;
    uint64_t second;  // checked only with a pair
};

const ScanCase kScanCases[] = {
    {"four_rows_lower_index_wins_tie", {1, 1, 0, 2}, {5, 6, 7, 6}, true, 2, 1},
    {"equal_best_scores_lower_is_best", {0, 1}, {5, 5}, true, 0, 1},
    {"later_equal_best_never_replaces", {0, 0, 1}, {5, 5, 3}, true, 0, 2},
    {"later_equal_second_never_replaces", {0, 1, 2}, {9, 5, 5}, true, 0, 1},
    {"nan_never_wins", {0, 1, 0, 1}, {kNaN, 2, 1, kNaN}, true, 1, 2},
    {"minus_inf_never_wins", {1, 0, 1}, {-kInf, 3, -kInf}, false, 1, 0},
    {"single_class_has_no_pair", {4, 4, 4}, {1, 3, 2}, false, 1, 0},
    {"new_best_same_class_keeps_second", {0, 1, 1}, {1, 2, 3}, true, 2, 0},
    {"new_best_other_class_pushes_old_best", {0, 1}, {1, 2}, true, 1, 0},
    {"second_from_other_class_than_final_best", {0, 1, 2, 0}, {1, 4, 3, 5}, true, 3, 1},
    {"plus_inf_wins", {0, 1, 0}, {3, kInf, kInf}, true, 1, 2},
};

class ScanRule : public ::testing::TestWithParam<ScanCase> {};

TEST_P(ScanRule, SequentialAndVectorisedAgree) {
    const ScanCase& tc = GetParam();
    const uint64_t c = tc.scores.size();
    const std::vector<float> zeros(c, 0.0f);
    QueryState seq;
    update_query_state(seq, tc.scores.data(), c, 0, zeros.data(), tc.classes.data());
    EXPECT_EQ(has_pair(seq), tc.pair);
    EXPECT_EQ(seq.best_index, tc.best);
    EXPECT_EQ(seq.best_label, tc.classes[tc.best]);
    EXPECT_EQ(seq.best_score, tc.scores[tc.best]);
    if (tc.pair) {
        EXPECT_EQ(seq.second_index, tc.second);
        EXPECT_EQ(seq.second_score, tc.scores[tc.second]);
    }
    QueryState fast;
    const std::vector<uint32_t> classes = compact_classes(tc.classes.data(), c);
    scan_scores(fast, tc.scores.data(), c, 0, zeros.data(), classes.data());
    EXPECT_EQ(fast.best_index, seq.best_index);
    EXPECT_EQ(fast.second_index, seq.second_index);
    EXPECT_EQ(fast.best_label, seq.best_label);
    EXPECT_EQ(fast.best_score, seq.best_score);
    EXPECT_EQ(fast.second_score, seq.second_score);
}

INSTANTIATE_TEST_SUITE_P(Cases, ScanRule, ::testing::ValuesIn(kScanCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ScanRuleState, AllNaNLeavesStateUntouched) {
    const std::vector<float> scores(40, kNaN), zeros(40, 0.0f);
    const std::vector<uint64_t> labels(40, 1);
    const std::vector<uint32_t> classes = compact_classes(labels.data(), 40);
    QueryState seq, fast;
    update_query_state(seq, scores.data(), 40, 0, zeros.data(), labels.data());
    scan_scores(fast, scores.data(), 40, 0, zeros.data(), classes.data());
    for (const QueryState& s : {seq, fast}) {
        EXPECT_EQ(s.best_label, std::numeric_limits<uint64_t>::max());
        EXPECT_EQ(s.best_score, -kInf);
        EXPECT_FALSE(has_pair(s));
    }
}

bool same_state(const QueryState& a, const QueryState& b) {
    return a.best_index == b.best_index && a.second_index == b.second_index && a.best_label == b.best_label &&
           std::memcmp(&a.best_score, &b.best_score, sizeof(float)) == 0 &&
           std::memcmp(&a.second_score, &b.second_score, sizeof(float)) == 0;
}

// Random rows with many ties, NaN, infinities and varying class counts,
// folded block after block: the vectorised scan must leave exactly the state
// of the row-by-row rule after every block, also across block boundaries.
TEST(ScanRuleRandom, VectorisedFoldEqualsSequentialRule) {
    std::mt19937_64 gen(12345);
    const float palette[] = {-3.0f, -1.0f, 0.0f, -0.0f, 0.5f, 1.0f, 2.0f, 2.0f, 4.0f, -kInf, kNaN, kInf};
    int states_with_pair = 0;
    for (int trial = 0; trial < 3000; ++trial) {
        // Mostly short rows; some long ones put winners in every lane and the tail.
        const uint64_t n = trial % 10 == 0 ? 1000 + gen() % 3200 : 1 + gen() % 150;
        const uint64_t classes_count = 1 + gen() % 6;
        const int mode = static_cast<int>(gen() % 3);
        std::vector<float> products(n), half(n);
        std::vector<uint64_t> labels(n);
        for (uint64_t j = 0; j < n; ++j) {
            labels[j] = gen() % classes_count;
            if (mode == 0) {
                // Mostly ties from a small palette, with the odd special value.
                products[j] = palette[gen() % (sizeof palette / sizeof palette[0])];
                half[j] = (gen() % 4 == 0) ? 0.5f : 0.0f;
            } else if (mode == 1) {
                products[j] = static_cast<float>(static_cast<int>(gen() % 7)) * 0.25f;
                half[j] = static_cast<float>(static_cast<int>(gen() % 3)) * 0.25f;
            } else {
                products[j] = static_cast<float>(static_cast<double>(gen() % 1000003) / 1000003.0);
                half[j] = (gen() % 50 == 0) ? kNaN : 0.0f;
            }
        }
        const std::vector<uint32_t> classes = compact_classes(labels.data(), n);
        const uint64_t block = trial % 20 == 0 ? n : 1 + gen() % (n + 20);
        QueryState seq, fast;
        for (uint64_t j0 = 0; j0 < n; j0 += block) {
            const uint64_t c = std::min(block, n - j0);
            update_query_state(seq, products.data() + j0, c, j0, half.data(), labels.data());
            scan_scores(fast, products.data() + j0, c, j0, half.data(), classes.data());
            ASSERT_TRUE(same_state(seq, fast)) << "trial " << trial << " block at " << j0;
        }
        states_with_pair += has_pair(seq) ? 1 : 0;
    }
    // The draws must exercise both outcomes.
    EXPECT_GT(states_with_pair, 1000);
    EXPECT_LT(states_with_pair, 3000);
}

}  // namespace
}  // namespace vantrel
