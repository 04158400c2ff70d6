// Input preparation: check order and messages, the normalised record, strided
// reads, label encoding, the duplicate check with forced fingerprint
// collisions, the scaled tolerance and the way back to data units.
#include <gtest/gtest.h>

#include <cctype>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "validation.hpp"

namespace vantrel {
namespace {

constexpr uint64_t kDefaultQueries = 10;
constexpr uint64_t kDefaultMaxIter = 100;
constexpr double kDefaultTol = 1e-6;

template <class T>
StridedMatrix<T> c_order(const std::vector<T>& v, uint64_t rows, uint64_t cols) {
    return {reinterpret_cast<const char*>(v.data()), rows, cols, static_cast<int64_t>(cols * sizeof(T)),
            static_cast<int64_t>(sizeof(T))};
}

template <class T>
Result<PreparedInput> prepare_c(const std::vector<T>& v, uint64_t rows, uint64_t cols,
                                const std::vector<int64_t>& y, double tol = kDefaultTol) {
    return prepare(c_order(v, rows, cols), y, kDefaultQueries, kDefaultMaxIter, tol);
}

void expect_same_record(const PreparedInput& a, const PreparedInput& b) {
    EXPECT_EQ(a.n, b.n);
    EXPECT_EQ(a.d, b.d);
    EXPECT_EQ(a.scale, b.scale);
    EXPECT_EQ(a.scaled_tol, b.scaled_tol);
    EXPECT_EQ(a.center, b.center);
    EXPECT_EQ(a.labels, b.labels);
    EXPECT_EQ(a.data, b.data);
}

TEST(ValidationPrepare, TwoRowExampleGivesExactRecord) {
    const std::vector<double> x = {0, 0, 4, 2};
    auto r = prepare_c(x, 2, 2, {1, 2});
    ASSERT_TRUE(r.ok()) << r.message();
    const PreparedInput& p = r.value();
    EXPECT_EQ(p.n, 2u);
    EXPECT_EQ(p.d, 2u);
    EXPECT_EQ(p.scale, 4.0);
    EXPECT_EQ(p.center, (std::vector<double>{2.0, 1.0}));
    EXPECT_EQ(p.data, (std::vector<float>{-0.5f, -0.25f, 0.5f, 0.25f}));
    EXPECT_EQ(p.labels, (std::vector<uint64_t>{0, 1}));
    EXPECT_EQ(p.scaled_tol, static_cast<float>(6.25e-8));
}

TEST(ValidationPrepare, LabelsNumberedByFirstAppearance) {
    const std::vector<double> x = {0, 1, 2, 3};
    auto r = prepare_c(x, 4, 1, {5, 3, 5, 7});
    ASSERT_TRUE(r.ok()) << r.message();
    EXPECT_EQ(r.value().labels, (std::vector<uint64_t>{0, 1, 0, 2}));
}

TEST(ValidationPrepare, ConstantColumnNormalisesToZeroAndLeavesScale) {
    const std::vector<double> x = {7, 0, 7, 3, 7, 1};
    auto r = prepare_c(x, 3, 2, {0, 1, 0});
    ASSERT_TRUE(r.ok()) << r.message();
    EXPECT_EQ(r.value().scale, 3.0);
    for (uint64_t i = 0; i < 3; ++i) EXPECT_EQ(r.value().data[i * 2], 0.0f);
}

TEST(ValidationPrepare, NormalisedValuesMatchDoubleFormula) {
    // Irregular values so every column has its own centre; the expected
    // values are recomputed here from the definition.
    const std::vector<double> x = {0.3, -17.25, 1e-3, 2.5, 9.75, 1e-3, -1.1, 4.0, 2e-3, 0.7, 0.0, 5e-4};
    const uint64_t n = 4, d = 3;
    auto r = prepare_c(x, n, d, {1, 1, 2, 2});
    ASSERT_TRUE(r.ok()) << r.message();
    std::vector<double> lo(d, INFINITY), hi(d, -INFINITY);
    for (uint64_t i = 0; i < n; ++i)
        for (uint64_t j = 0; j < d; ++j) lo[j] = std::fmin(lo[j], x[i * d + j]), hi[j] = std::fmax(hi[j], x[i * d + j]);
    double s = 0;
    for (uint64_t j = 0; j < d; ++j) s = std::fmax(s, hi[j] - lo[j]);
    EXPECT_EQ(r.value().scale, s);
    for (uint64_t i = 0; i < n; ++i) {
        for (uint64_t j = 0; j < d; ++j) {
            const double c = lo[j] / 2 + hi[j] / 2;
            EXPECT_EQ(r.value().data[i * d + j], static_cast<float>((x[i * d + j] - c) / s)) << i << "," << j;
        }
    }
}

struct CheckCase {
    const char* name;
    std::vector<double> values;
    uint64_t rows;
    uint64_t cols;
    std::vector<int64_t> y;
    uint64_t query_count;
    uint64_t max_iter;
    double tol;
    const char* message;  // nullptr: accepted
};

class ValidationCheckOrder : public ::testing::TestWithParam<CheckCase> {};

TEST_P(ValidationCheckOrder, FirstFailingCheckWins) {
    const CheckCase& c = GetParam();
    auto r = prepare(c_order(c.values, c.rows, c.cols), c.y, c.query_count, c.max_iter, c.tol);
    if (c.message == nullptr) {
        EXPECT_TRUE(r.ok()) << r.message();
    } else {
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind, ErrorKind::invalid_input);
        EXPECT_EQ(r.message(), c.message);
    }
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr uint64_t kBlasMax = 2147483647;

const char kRows[] = "data must contain at least one row";
const char kCols[] = "data must contain at least one column";
const char kQueries[] = "n_points must be greater than zero";
const char kIter[] = "max_iter must be greater than zero";
const char kTol[] = "tol must be finite and non-negative";
const char kBlas[] = "data dimensions exceed the supported BLAS integer range";
const char kClasses[] = "y must contain at least two different classes";
const char kFinite[] = "data must contain only finite values";
const char kDistinct[] = "data must contain at least two distinct points";
const char kDup[] = "points from different classes are identical after normalization";

const std::vector<double> kTwo = {0, 1};

INSTANTIATE_TEST_SUITE_P(
    Table, ValidationCheckOrder,
    ::testing::Values(
        CheckCase{"no_rows_before_label_count", {}, 0, 2, {1, 2, 3}, 10, 100, 1e-6, kRows},
        CheckCase{"no_columns_before_label_count", {}, 3, 0, {1, 2}, 10, 100, 1e-6, kCols},
        CheckCase{"label_count", kTwo, 2, 1, {1, 2, 3}, 0, 0, kNaN, "y has length 3 but data has 2 rows"},
        CheckCase{"query_count_before_max_iter", kTwo, 2, 1, {1, 2}, 0, 0, kNaN, kQueries},
        CheckCase{"max_iter_before_tol", kTwo, 2, 1, {1, 2}, 10, 0, kNaN, kIter},
        CheckCase{"tol_nan_before_blas_range", kTwo, 2, 1, {1, 2}, kBlasMax + 1, 100, kNaN, kTol},
        CheckCase{"tol_infinite", kTwo, 2, 1, {1, 2}, 10, 100, kInf, kTol},
        CheckCase{"tol_tiny_negative", kTwo, 2, 1, {1, 2}, 10, 100, -1e-300, kTol},
        CheckCase{"tol_negative_zero_accepted", kTwo, 2, 1, {1, 2}, 10, 100, -0.0, nullptr},
        CheckCase{"blas_range_before_classes", kTwo, 2, 1, {1, 1}, kBlasMax + 1, 100, 1e-6, kBlas},
        CheckCase{"largest_query_count_accepted", kTwo, 2, 1, {1, 2}, kBlasMax, 100, 1e-6, nullptr},
        CheckCase{"single_row_is_one_class", {3}, 1, 1, {4}, 10, 100, 1e-6, kClasses},
        CheckCase{"classes_before_finiteness", {0, kNaN}, 2, 1, {1, 1}, 10, 100, 1e-6, kClasses},
        CheckCase{"nan_value", {0, 1, kNaN, 2}, 2, 2, {1, 2}, 10, 100, 1e-6, kFinite},
        CheckCase{"infinite_value", {0, -kInf}, 2, 1, {1, 2}, 10, 100, 1e-6, kFinite},
        CheckCase{"all_rows_one_point_before_duplicates", {2, 3, 2, 3}, 2, 2, {1, 2}, 10, 100, 1e-6, kDistinct},
        CheckCase{"range_overflows_double", {-1e308, 1e308}, 2, 1, {1, 2}, 10, 100, 1e-6, kDistinct},
        CheckCase{"some_rows_coincide_across_classes", {0, 1, 2, 1}, 4, 1, {1, 2, 1, 1}, 10, 100, 1e-6, kDup},
        CheckCase{"rows_equal_below_float32_resolution", {0, 1, 1 + 1e-12}, 3, 1, {0, 1, 2}, 10, 100, 1e-6, kDup},
        CheckCase{"duplicates_within_class_accepted", {0, 1, 1, 0}, 4, 1, {1, 2, 2, 1}, 10, 100, 1e-6, nullptr}),
    [](const ::testing::TestParamInfo<CheckCase>& info) { return std::string(info.param.name); });

TEST(ValidationPrepare, ColumnCountAboveBlasRangeRefusedFromBroadcastView) {
    // A zero column stride describes 2^31 columns over two stored values.
    const std::vector<double> x = {0, 1};
    StridedMatrix<double> view{reinterpret_cast<const char*>(x.data()), 2, kBlasMax + 1, sizeof(double), 0};
    auto r = prepare(view, std::vector<int64_t>{1, 2}, 10, 100, 1e-6);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.message(), kBlas);
}

TEST(ValidationPrepare, ImpossibleCopyReportsOutOfMemory) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers abort on impossible allocations";
#endif
    // 2^20 rows of a broadcast 2^31 - 1 column view need 8 PiB for the copy;
    // every check passes first, so the failure is the memory one.
    const uint64_t n = 1u << 20;
    std::vector<double> x(n);
    std::vector<int64_t> y(n);
    for (uint64_t i = 0; i < n; ++i) x[i] = static_cast<double>(i), y[i] = static_cast<int64_t>(i % 2);
    StridedMatrix<double> view{reinterpret_cast<const char*>(x.data()), n, kBlasMax, sizeof(double), 0};
    auto r = prepare(view, y, 10, 100, 1e-6);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, ErrorKind::out_of_memory);
    EXPECT_EQ(r.message(), "not enough memory for the normalized data");
}

TEST(ValidationPrepare, BroadcastRowsFailAsOnePointWithoutScanningAll) {
    const std::vector<double> x = {1, 2, 3};
    std::vector<int64_t> y(1000);
    for (size_t i = 0; i < y.size(); ++i) y[i] = static_cast<int64_t>(i);
    StridedMatrix<double> view{reinterpret_cast<const char*>(x.data()), y.size(), 3, 0, sizeof(double)};
    auto r = prepare(view, y, 10, 100, 1e-6);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.message(), kDistinct);
}

// A 3 x 2 data set laid out several ways in one byte buffer; every view must
// give the record of the plain row-major copy.
struct Layout {
    const char* name;
    std::vector<double> buffer;
    size_t first;  // byte offset of element (0, 0)
    int64_t row_stride;
    int64_t col_stride;
};

const std::vector<double> kRowMajor = {0.5, -2.0, 3.0, 1.25, -1.5, 4.0};
constexpr int64_t kD = sizeof(double);

std::vector<double> every_other_of_6x4() {
    std::vector<double> wide(24, 1e300);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 2; ++j) wide[(2 * i) * 4 + 2 * j] = kRowMajor[i * 2 + j];
    return wide;
}

class ValidationStrides : public ::testing::TestWithParam<Layout> {};

TEST_P(ValidationStrides, SameRecordAsRowMajor) {
    const Layout& l = GetParam();
    const std::vector<int64_t> y = {9, 4, 9};
    // Copy into bytes one past an aligned start, so loads are unaligned too.
    std::vector<char> bytes(l.buffer.size() * sizeof(double) + 1);
    std::memcpy(bytes.data() + 1, l.buffer.data(), l.buffer.size() * sizeof(double));
    StridedMatrix<double> view{bytes.data() + 1 + l.first, 3, 2, l.row_stride, l.col_stride};
    auto got = prepare(view, y, kDefaultQueries, kDefaultMaxIter, kDefaultTol);
    auto want = prepare_c(kRowMajor, 3, 2, y);
    ASSERT_TRUE(got.ok()) << got.message();
    ASSERT_TRUE(want.ok()) << want.message();
    expect_same_record(got.value(), want.value());
}

INSTANTIATE_TEST_SUITE_P(
    Table, ValidationStrides,
    ::testing::Values(Layout{"fortran", {0.5, 3.0, -1.5, -2.0, 1.25, 4.0}, 0, kD, 3 * kD},
                      Layout{"negative", {4.0, -1.5, 1.25, 3.0, -2.0, 0.5}, 5 * kD, -2 * kD, -kD},
                      Layout{"transposed_negative_rows", {-1.5, 3.0, 0.5, 4.0, 1.25, -2.0}, 2 * kD, -kD, 3 * kD},
                      Layout{"sliced", every_other_of_6x4(), 0, 8 * kD, 2 * kD}),
    [](const ::testing::TestParamInfo<Layout>& info) { return std::string(info.param.name); });

TEST(ValidationStridesZero, BroadcastColumnMatchesRepeatedCopy) {
    const std::vector<double> column = {1.0, -3.0, 0.25};
    const std::vector<double> repeated = {1.0, 1.0, 1.0, -3.0, -3.0, -3.0, 0.25, 0.25, 0.25};
    const std::vector<int64_t> y = {0, 1, 2};
    StridedMatrix<double> view{reinterpret_cast<const char*>(column.data()), 3, 3, sizeof(double), 0};
    auto a = prepare(view, y, 10, 100, 1e-6);
    auto b = prepare_c(repeated, 3, 3, y);
    ASSERT_TRUE(a.ok()) << a.message();
    ASSERT_TRUE(b.ok()) << b.message();
    expect_same_record(a.value(), b.value());
}

TEST(ValidationPrepare, FloatAndDoubleInstancesAgree) {
    const std::vector<float> xf = {0.1f, 7.5f, -3.25f, 2.0f, 1e-3f, -0.0f, 5.5f, 5.5f};
    const std::vector<double> xd(xf.begin(), xf.end());
    const std::vector<int64_t> y = {-4, 8, -4, 2};
    auto a = prepare_c(xf, 4, 2, y, 3e-5);
    auto b = prepare_c(xd, 4, 2, y, 3e-5);
    ASSERT_TRUE(a.ok()) << a.message();
    ASSERT_TRUE(b.ok()) << b.message();
    expect_same_record(a.value(), b.value());
}

struct TolCase {
    double tol;
    double spread;  // the data are [[0], [spread]], so the scale is spread
    float expected;
};

class ValidationScaledTol : public ::testing::TestWithParam<TolCase> {};

TEST_P(ValidationScaledTol, ScaledTolerance) {
    const TolCase& c = GetParam();
    const std::vector<double> x = {0.0, c.spread};
    auto r = prepare_c(x, 2, 1, {0, 1}, c.tol);
    ASSERT_TRUE(r.ok()) << r.message();
    EXPECT_EQ(r.value().scaled_tol, c.expected);
    EXPECT_FALSE(std::signbit(r.value().scaled_tol));
}

INSTANTIATE_TEST_SUITE_P(Table, ValidationScaledTol,
                         ::testing::Values(TolCase{0.0, 4.0, 0.0f}, TolCase{-0.0, 4.0, 0.0f},
                                           TolCase{1e-6, 4.0, static_cast<float>(6.25e-8)},
                                           TolCase{9.0, 3.0, 1.0f},
                                           // tol / s^2 far beyond float32: clamped, not infinite
                                           TolCase{1e300, 1e-300, FLT_MAX}, TolCase{1e30, 1e-10, FLT_MAX}));

// ---- fingerprints and the duplicate check ----

TEST(ValidationFingerprint, KnownValues) {
    EXPECT_EQ(row_fingerprint(std::vector<float>{1.0f}), 0x2f63bdaad481b7dfULL);
    for (const auto& zeros : {std::vector<float>{0.0f, -0.0f}, std::vector<float>{0.0f, 0.0f},
                              std::vector<float>{-0.0f, 0.0f}}) {
        EXPECT_EQ(row_fingerprint(zeros), 0x08328807b4eb6fedULL);
    }
    EXPECT_EQ(row_fingerprint(std::vector<float>{-0.5f, 0.25f}), 0x8831b4e61b6b6fedULL);
    EXPECT_EQ(row_fingerprint(std::vector<float>{0.5f, 0.25f}), 0x8833267a9b6b6fedULL);
}

struct DupCase {
    const char* name;
    std::vector<float> data;
    uint64_t d;
    std::vector<uint64_t> labels;
    bool accepted;
};

class ValidationDuplicates : public ::testing::TestWithParam<DupCase> {};

TEST_P(ValidationDuplicates, RefusesExactlyCrossClassEquality) {
    const DupCase& c = GetParam();
    Status s = validate_cross_class_duplicates(c.data, c.d, c.labels);
    EXPECT_EQ(s.ok(), c.accepted);
    if (!s.ok()) {
        EXPECT_EQ(s.message(), kDup);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ValidationDuplicates,
    ::testing::Values(DupCase{"signed_zeros_across_classes", {0.0f, -0.0f}, 1, {0, 1}, false},
                      DupCase{"three_equal_one_class", {1, 2, 1, 2, 1, 2}, 2, {0, 0, 0}, true},
                      DupCase{"three_equal_third_differs", {1, 2, 1, 2, 1, 2}, 2, {0, 0, 1}, false},
                      DupCase{"equal_in_one_column_only", {1, 2, 1, 3}, 2, {0, 1}, true},
                      DupCase{"pair_far_apart", {5, 1, 2, 3, 4, 5}, 1, {0, 1, 1, 1, 1, 1}, false}),
    [](const ::testing::TestParamInfo<DupCase>& info) { return std::string(info.param.name); });

using Entries = std::vector<std::pair<uint64_t, uint64_t>>;

TEST(ValidationDuplicatesProbe, DistinctRowsGetOneEntryEach) {
    const std::vector<float> data = {0.1f, 0.2f, 0.3f, -0.1f, 0.0f, 0.5f};
    const std::vector<uint64_t> labels = {0, 1, 0, 1, 0, 1};
    Entries entries;
    ASSERT_TRUE(validate_cross_class_duplicates(data, 1, labels, &row_fingerprint, &entries).ok());
    ASSERT_EQ(entries.size(), data.size());
    for (uint64_t i = 0; i < data.size(); ++i) {
        EXPECT_EQ(entries[i].second, i);
        EXPECT_EQ(entries[i].first, row_fingerprint(std::span<const float>(&data[i], 1)));
    }
}

constexpr uint64_t kForced = 0x1234;
uint64_t constant_fingerprint(std::span<const float>) { return kForced; }

TEST(ValidationDuplicatesProbe, CollidingRowsProbePastEachOther) {
    // Every row shares one fingerprint: rows 0, 1, 2 differ and are entered
    // under k, k + g, k + 2g; row 3 equals row 1 and must be found at k + g.
    const std::vector<float> data = {1, 2, 3, 2};
    Entries entries;
    ASSERT_TRUE(validate_cross_class_duplicates(data, 1, std::vector<uint64_t>{0, 1, 1, 1}, &constant_fingerprint,
                                                &entries)
                    .ok());
    EXPECT_EQ(entries, (Entries{{kForced, 0}, {kForced + kProbeIncrement, 1}, {kForced + 2 * kProbeIncrement, 2}}));

    Status refused =
        validate_cross_class_duplicates(data, 1, std::vector<uint64_t>{0, 1, 1, 0}, &constant_fingerprint);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.message(), kDup);
}

TEST(ValidationDuplicatesProbe, ProbeKeyWrapsModulo64Bits) {
    static constexpr uint64_t kTop = std::numeric_limits<uint64_t>::max();
    const std::vector<float> data = {1, 2, 2};
    Entries entries;
    auto top = [](std::span<const float>) { return kTop; };
    ASSERT_TRUE(validate_cross_class_duplicates(data, 1, std::vector<uint64_t>{0, 1, 1}, top, &entries).ok());
    EXPECT_EQ(entries, (Entries{{kTop, 0}, {kTop + kProbeIncrement, 1}}));
    EXPECT_EQ(entries[1].first, kProbeIncrement - 1);
}

TEST(ValidationDuplicatesProbe, LongCollisionChainsKeepEveryRowApart) {
    // 300 distinct rows under one fingerprint each get their own probe key;
    // a second copy of every row in its own class passes, in another class fails.
    constexpr uint64_t kRows = 300;
    std::vector<float> data;
    std::vector<uint64_t> same, other;
    for (int copy = 0; copy < 2; ++copy) {
        for (uint64_t i = 0; i < kRows; ++i) {
            data.push_back(static_cast<float>(i));
            same.push_back(i % 2);
            other.push_back(copy == 1 && i == kRows - 1 ? 1 - i % 2 : i % 2);
        }
    }
    Entries entries;
    ASSERT_TRUE(validate_cross_class_duplicates(data, 1, same, &constant_fingerprint, &entries).ok());
    ASSERT_EQ(entries.size(), kRows);
    for (uint64_t i = 0; i < kRows; ++i) EXPECT_EQ(entries[i], std::make_pair(kForced + i * kProbeIncrement, i));
    EXPECT_FALSE(validate_cross_class_duplicates(data, 1, other, &constant_fingerprint).ok());
}

TEST(ValidationDuplicatesBruteForce, AgreesWithPairwiseComparison) {
    // Few distinct values per column, so equal rows are common; the verdict
    // is compared with an all-pairs check.
    std::mt19937_64 gen(12345);
    for (int trial = 0; trial < 200; ++trial) {
        const uint64_t d = 1 + gen() % 3;
        const uint64_t n = 2 + gen() % 40;
        const uint64_t classes = 1 + gen() % 3;
        std::vector<float> data(n * d);
        for (float& v : data) v = static_cast<float>(static_cast<int>(gen() % 3) - 1) * 0.25f;
        for (float& v : data) if (v == 0.0f && gen() % 2) v = -0.0f;
        std::vector<uint64_t> labels(n);
        for (uint64_t& l : labels) l = gen() % classes;
        bool clash = false;
        for (uint64_t a = 0; a < n && !clash; ++a) {
            for (uint64_t b = a + 1; b < n && !clash; ++b) {
                bool equal = true;
                for (uint64_t j = 0; j < d; ++j) equal = equal && data[a * d + j] == data[b * d + j];
                clash = equal && labels[a] != labels[b];
            }
        }
        EXPECT_EQ(validate_cross_class_duplicates(data, d, labels).ok(), !clash) << "trial " << trial;
    }
}

// ---- back to data units ----

TEST(ValidationDenormalize, RoundTripRecoversDataFarFromTheOrigin) {
    // Columns around 1.7e9, where float32's spacing is 128: float64 data loses
    // only the float32 rounding of z (2^-24 of the largest range), float32
    // data is rounded once more, to its own element type.
    std::vector<double> x = {10.5, -3.0, 1e4, 12.0, -7.25, 1e4 + 1, 11.0, 0.5, 1e4 - 3};
    for (double& v : x) v += 1.7e9;
    auto r = prepare_c(x, 3, 3, {0, 1, 2});
    ASSERT_TRUE(r.ok()) << r.message();
    const PreparedInput& p = r.value();
    EXPECT_EQ(p.element, ElementType::float64);
    const std::vector<double> back = denormalize_points(p.data, p.d, p.center, p.scale, ElementType::float64);
    const std::vector<double> back32 = denormalize_points(p.data, p.d, p.center, p.scale, ElementType::float32);
    ASSERT_EQ(back.size(), x.size());
    for (size_t k = 0; k < x.size(); ++k) {
        EXPECT_NEAR(back[k], x[k], p.scale * 0x1p-24 + std::fabs(x[k]) * 0x1p-52) << k;
        EXPECT_EQ(back32[k], static_cast<double>(static_cast<float>(back[k]))) << k;
    }
}

TEST(ValidationDenormalize, ProductAndSumRoundedSeparately) {
    // Values for which a fused multiply-add lands on the other side of a
    // float32 rounding boundary than the two separately rounded operations.
    const float z = 0x1.5dc402p-2f;
    const double scale = 0x1.a86a3691d243fp+2;
    const double center = -0x1.21cbf635d3dc6p+1;
    volatile double product = static_cast<double>(z) * scale;
    const double sum = product + center;
    const double separate = static_cast<float>(sum);
    const double fused = static_cast<float>(std::fma(static_cast<double>(z), scale, center));
    ASSERT_NE(separate, fused) << "the chosen values no longer tell the two apart";
    const std::vector<float> points{z, z};
    EXPECT_EQ(denormalize_points(points, 1, std::vector<double>{center}, scale, ElementType::float32),
              (std::vector<double>{separate, separate}));
    EXPECT_EQ(denormalize_points(points, 1, std::vector<double>{center}, scale, ElementType::float64),
              (std::vector<double>{sum, sum}));
}

struct RangeCase {
    const char* name;
    std::vector<double> rows;
    ElementType element;
    const char* message;  // nullptr when accepted
};

class ValidationPointRange : public ::testing::TestWithParam<RangeCase> {};

TEST_P(ValidationPointRange, RefusesOnlyInfinitePoints) {
    const RangeCase& c = GetParam();
    const Status s = check_points_finite(c.rows, c.element);
    if (c.message == nullptr) {
        EXPECT_TRUE(s.ok()) << s.message();
    } else {
        ASSERT_FALSE(s.ok());
        EXPECT_EQ(s.error().kind, ErrorKind::invalid_input);
        EXPECT_EQ(s.message(), c.message);
    }
}

constexpr char kFloat32Range[] =
    "data scale is outside the float32 range: the points would be infinite; rescale the data";
constexpr char kFloat64Range[] =
    "data scale is outside the float64 range: the points would be infinite; rescale the data";

INSTANTIATE_TEST_SUITE_P(
    Table, ValidationPointRange,
    ::testing::Values(RangeCase{"ordinary", {0.5, -2.0, 0.0}, ElementType::float32, nullptr},
                      RangeCase{"largest finite float32", {FLT_MAX, -FLT_MAX}, ElementType::float32, nullptr},
                      RangeCase{"subnormal and zero", {0x1p-149, 0.0, -0.0}, ElementType::float32, nullptr},
                      RangeCase{"largest finite float64", {DBL_MAX, -DBL_MAX}, ElementType::float64, nullptr},
                      RangeCase{"no points", {}, ElementType::float32, nullptr},
                      RangeCase{"float32 overflow", {1.0, kInf, 2.0}, ElementType::float32, kFloat32Range},
                      RangeCase{"float64 overflow", {-kInf}, ElementType::float64, kFloat64Range}),
    [](const ::testing::TestParamInfo<RangeCase>& info) {
        std::string name = info.param.name;
        for (char& ch : name) ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
        return name;
    });

}  // namespace
}  // namespace vantrel
