// Input preparation: checks, normalisation, label encoding, duplicate check.
//
// `prepare` reads the caller's array in place through its strides (any
// layout, negative or zero strides), computes the column statistics in double
// precision and writes the one normalised float32 copy the search works on.
// Normalised space is z = (x - c_j) / s with c_j the midpoint of column j and
// s the largest column range: one global scale, so distances keep their
// ratios. `denormalize_points` is the inverse used on the way back.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "result.hpp"

namespace vantrel {

// A read-only view of an n x d array of T with byte strides, as NumPy reports
// them. Element (i, j) lives at base + i * row_stride + j * col_stride, in the
// machine's byte order or, when `swapped`, in the other one (big-endian FITS
// files and network formats on a little-endian machine).
template <class T>
struct StridedMatrix {
    const char* base = nullptr;
    uint64_t rows = 0;
    uint64_t cols = 0;
    int64_t row_stride = 0;
    int64_t col_stride = 0;
    bool swapped = false;
};

// The caller's element type. Points go back in it: float64 data keeps the
// precision of its offsets (time stamps, map coordinates), which float32 would
// round away in data units even though the search is exact in normalised space.
enum class ElementType { float32, float64 };

struct PreparedInput {
    std::vector<float> data;       // n * d normalised values, row-major
    std::vector<uint64_t> labels;  // class index per row, 0..k-1 by first appearance
    std::vector<double> center;    // midpoint of each column's range
    double scale = 0.0;            // largest column range, finite and > 0
    uint64_t n = 0;
    uint64_t d = 0;
    float scaled_tol = 0.0f;       // tol / scale^2
    ElementType element = ElementType::float64;
};

// The checks, in order, each ending the call with its message; see the
// implementation for the list. Out-of-memory is reported as such.
template <class T>
Result<PreparedInput> prepare(const StridedMatrix<T>& view, std::span<const int64_t> y,
                              uint64_t query_count, uint64_t max_iter, double tol);

extern template Result<PreparedInput> prepare<float>(const StridedMatrix<float>&, std::span<const int64_t>,
                                                     uint64_t, uint64_t, double);
extern template Result<PreparedInput> prepare<double>(const StridedMatrix<double>&, std::span<const int64_t>,
                                                      uint64_t, uint64_t, double);

// Word-wise FNV-1a over the float32 bit patterns of a row; both zeros hash as 0.
uint64_t row_fingerprint(std::span<const float> row);

// Fails when two rows with different class indices are equal value for value.
// Needs room for its map (16 bytes times twice the label count, rounded up to
// a power of two) and throws std::bad_alloc when that cannot be had.
Status validate_cross_class_duplicates(std::span<const float> data, uint64_t d,
                                       std::span<const uint64_t> labels);

// The same check with the fingerprint as a parameter, so tests can force
// fingerprint collisions; the overload above calls it with row_fingerprint.
// When `entries` is given it receives the map's (probe key, row) entries,
// ordered by row, as they stood when the check ended.
using RowFingerprintFn = uint64_t (*)(std::span<const float> row);
Status validate_cross_class_duplicates(std::span<const float> data, uint64_t d,
                                       std::span<const uint64_t> labels, RowFingerprintFn fingerprint,
                                       std::vector<std::pair<uint64_t, uint64_t>>* entries = nullptr);

// Step between the probe keys of different rows that share a fingerprint.
inline constexpr uint64_t kProbeIncrement = 0x9e3779b97f4a7c15ULL;

// x_j = double(z_j) * scale + center_j, row after row, rounded to float32 when
// the data is float32 (so float32 results are those of float32 arithmetic on
// the way back, and float64 ones are not rounded twice).
std::vector<double> denormalize_points(std::span<const float> points, uint64_t d,
                                       std::span<const double> center, double scale, ElementType element);

// Fails when a point in data units overflowed to infinity in the data's
// element type: possible only for data near the type's largest value, since
// points lie within a few box widths of the data. The last check of a call.
Status check_points_finite(std::span<const double> rows, ElementType element);

}  // namespace vantrel
