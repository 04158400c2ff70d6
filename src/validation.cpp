// Input preparation: checks, column statistics, the normalised float32 copy,
// label encoding, the cross-class duplicate check and the scaled tolerance.
//
// The caller's array is read in place through its byte strides, so any NumPy
// layout works without a copy; a float32 element is widened to double as it is
// loaded, which makes both instances of `prepare` compute the same values.
// Every check on the caller's values runs before anything large is
// allocated: the bounds pass needs one (lo, hi) pair per distinct column and
// falls back to a storage-free pass when even that cannot be had, so running
// out of memory is only reported for input that passed them. Only the
// duplicate check, which needs the normalised copy, comes after.
#include "validation.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <random>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <unordered_map>

#include "types.hpp"

namespace vantrel {

namespace {

constexpr uint64_t kFnvOffsetBasis = 0xcbf29ce484222325ULL;
constexpr uint64_t kFnvPrime = 0x100000001b3ULL;
// Largest float32, as a double: the ceiling of the scaled tolerance.
constexpr double kMaxFloat32 = 3.4028234663852886e38;

constexpr char kNoMemoryMessage[] = "not enough memory for the normalized data";
constexpr char kDuplicateMessage[] = "points from different classes are identical after normalization";
constexpr char kFloat32RangeMessage[] =
    "data scale is outside the float32 range: the points would be infinite; rescale the data";
constexpr char kFloat64RangeMessage[] =
    "data scale is outside the float64 range: the points would be infinite; rescale the data";

inline uint32_t byteswap(uint32_t x) { return __builtin_bswap32(x); }
inline uint64_t byteswap(uint64_t x) { return __builtin_bswap64(x); }

template <class T>
double load(const char* p, bool swapped) {
    using Bits = std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>;
    static_assert(sizeof(Bits) == sizeof(T));
    Bits bits;
    std::memcpy(&bits, p, sizeof bits);  // NumPy arrays need not be aligned
    if (swapped) bits = byteswap(bits);
    return static_cast<double>(std::bit_cast<T>(bits));
}

template <class T>
const char* element_ptr(const StridedMatrix<T>& view, uint64_t i, uint64_t j) {
    return view.base + static_cast<int64_t>(i) * view.row_stride + static_cast<int64_t>(j) * view.col_stride;
}

// A zero stride repeats the same elements, and repeating an element changes
// neither a minimum, a maximum nor finiteness, so the bounds pass reads each
// stored row or column once: a broadcast view costs what it stores.
template <class T>
uint64_t distinct_rows(const StridedMatrix<T>& view) { return view.row_stride == 0 ? 1 : view.rows; }
template <class T>
uint64_t distinct_cols(const StridedMatrix<T>& view) { return view.col_stride == 0 ? 1 : view.cols; }

enum class BoundsOutcome { ok, not_finite };

// One row-major pass: per-column bounds of the distinct columns, and the
// first non-finite element.
template <class T>
BoundsOutcome column_bounds(const StridedMatrix<T>& view, std::vector<double>& lo, std::vector<double>& hi) {
    const uint64_t rows = distinct_rows(view);
    const uint64_t cols = distinct_cols(view);
    for (uint64_t i = 0; i < rows; ++i) {
        const char* p = element_ptr(view, i, 0);
        for (uint64_t j = 0; j < cols; ++j, p += view.col_stride) {
            const double x = load<T>(p, view.swapped);
            if (!std::isfinite(x)) return BoundsOutcome::not_finite;
            lo[j] = std::min(lo[j], x);
            hi[j] = std::max(hi[j], x);
        }
    }
    return BoundsOutcome::ok;
}

// Largest column range, from +0.0.
double largest_range(const std::vector<double>& lo, const std::vector<double>& hi) {
    double s = 0.0;
    for (size_t j = 0; j < lo.size(); ++j) s = std::max(s, hi[j] - lo[j]);
    return s;
}

// Column after column with no per-column storage: the same answers for the
// finiteness and scale checks when the bounds arrays cannot be allocated.
template <class T>
BoundsOutcome largest_range_without_storage(const StridedMatrix<T>& view, double& s) {
    const uint64_t rows = distinct_rows(view);
    const uint64_t cols = distinct_cols(view);
    s = 0.0;
    for (uint64_t j = 0; j < cols; ++j) {
        double lo = std::numeric_limits<double>::infinity();
        double hi = -lo;
        for (uint64_t i = 0; i < rows; ++i) {
            const double x = load<T>(element_ptr(view, i, j), view.swapped);
            if (!std::isfinite(x)) return BoundsOutcome::not_finite;
            lo = std::min(lo, x);
            hi = std::max(hi, x);
        }
        s = std::max(s, hi - lo);
    }
    return BoundsOutcome::ok;
}

// sqrt(tol) / s squared, so s * s is never formed and cannot overflow.
float scale_tolerance(double tol, double s) {
    if (tol == 0.0) return 0.0f;
    const double t = std::sqrt(tol) / s;
    double q = t * t;
    if (q > kMaxFloat32) q = kMaxFloat32;
    return static_cast<float>(q);
}

bool rows_equal(const float* a, const float* b, uint64_t d) {
    for (uint64_t j = 0; j < d; ++j) {
        if (!(a[j] == b[j])) return false;
    }
    return true;
}

// The duplicate check's map: open addressing with linear probing over a
// power-of-two table at least twice the entry limit, so it never grows and
// probe runs stay short. Entries are only added. Bucket positions come from
// the key mixed with a per-process random salt, so crafted fingerprints
// cannot pile rows into one run; no result depends on the positions.
struct KeySlot {
    uint64_t key = 0;
    uint64_t row = kNoIndex;  // kNoIndex marks an empty slot
};

struct KeyTable {
    std::vector<KeySlot> slots;
    uint64_t mask = 0;
    uint64_t salt = 0;
};

uint64_t process_salt() {
    static const uint64_t salt = [] {
        try {
            std::random_device rd;
            return (static_cast<uint64_t>(rd()) << 32) ^ rd();
        } catch (...) {
            return uint64_t{0x2545f4914f6cdd1dULL};
        }
    }();
    return salt;
}

// The 64-bit finaliser of splitmix64.
uint64_t mix64(uint64_t x) {
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

KeyTable make_key_table(uint64_t max_entries) {
    KeyTable t;
    const uint64_t capacity = std::bit_ceil(std::max<uint64_t>(2 * max_entries, 2));
    t.slots.resize(capacity);
    t.mask = capacity - 1;
    t.salt = process_salt();
    return t;
}

// The row stored under key, after entering row there if the key was absent.
uint64_t find_or_insert(KeyTable& t, uint64_t key, uint64_t row) {
    for (uint64_t at = mix64(key ^ t.salt) & t.mask;; at = (at + 1) & t.mask) {
        KeySlot& slot = t.slots[at];
        if (slot.row == kNoIndex) {
            slot = {key, row};
            return row;
        }
        if (slot.key == key) return slot.row;
    }
}

}  // namespace

uint64_t row_fingerprint(std::span<const float> row) {
    uint64_t h = kFnvOffsetBasis;
    for (const float v : row) {
        // Both zeros mix as 0, so rows that compare equal hash equal.
        const uint64_t w = v == 0.0f ? 0 : std::bit_cast<uint32_t>(v);
        h = (h ^ w) * kFnvPrime;
    }
    return h;
}

Status validate_cross_class_duplicates(std::span<const float> data, uint64_t d,
                                       std::span<const uint64_t> labels) {
    return validate_cross_class_duplicates(data, d, labels, &row_fingerprint);
}

Status validate_cross_class_duplicates(std::span<const float> data, uint64_t d,
                                       std::span<const uint64_t> labels, RowFingerprintFn fingerprint,
                                       std::vector<std::pair<uint64_t, uint64_t>>* entries) {
    const uint64_t rows = data.size() / d;
    // Probe key -> representative row, sized for one entry per label.
    KeyTable seen = make_key_table(labels.size());
    Status status = ok_status();
    for (uint64_t i = 0; i < rows; ++i) {
        const float* row = data.data() + i * d;
        uint64_t key = fingerprint(std::span<const float>(row, d));
        for (;;) {
            const uint64_t r = find_or_insert(seen, key, i);
            if (r == i) break;  // newly entered
            if (!rows_equal(row, data.data() + r * d, d)) {
                key += kProbeIncrement;  // odd, so keys cycle only after 2^64 steps
                continue;
            }
            // Equal rows: a duplicate within the class is not entered.
            if (labels[i] != labels[r]) status = invalid_input(kDuplicateMessage);
            break;
        }
        if (!status) break;
    }
    if (entries) {
        entries->clear();
        for (const KeySlot& slot : seen.slots) {
            if (slot.row != kNoIndex) entries->emplace_back(slot.key, slot.row);
        }
        std::sort(entries->begin(), entries->end(),
                  [](const auto& a, const auto& b) { return a.second < b.second; });
    }
    return status;
}

template <class T>
Result<PreparedInput> prepare(const StridedMatrix<T>& view, std::span<const int64_t> y, uint64_t query_count,
                              uint64_t max_iter, double tol) {
    const uint64_t n = view.rows;
    const uint64_t d = view.cols;
    if (n == 0) return invalid_input("data must contain at least one row");
    if (d == 0) return invalid_input("data must contain at least one column");
    if (y.size() != n) {
        return invalid_input("y has length " + std::to_string(y.size()) + " but data has " + std::to_string(n) +
                             " rows");
    }
    if (query_count == 0) return invalid_input("n_points must be greater than zero");
    if (max_iter == 0) return invalid_input("max_iter must be greater than zero");
    if (!std::isfinite(tol) || tol < 0.0) return invalid_input("tol must be finite and non-negative");
    if (query_count > kMaxBlasInt || n > kMaxBlasInt || d > kMaxBlasInt) {
        return invalid_input("data dimensions exceed the supported BLAS integer range");
    }
    if (std::all_of(y.begin(), y.end(), [&](int64_t label) { return label == y[0]; })) {
        return invalid_input("y must contain at least two different classes");
    }

    // Bounds, finiteness and scale. Without room for the bounds the checks
    // still run; the call then fails for want of memory only if they pass.
    std::vector<double> lo, hi;
    bool have_bounds = true;
    try {
        lo.assign(distinct_cols(view), std::numeric_limits<double>::infinity());
        hi.assign(distinct_cols(view), -std::numeric_limits<double>::infinity());
    } catch (const std::bad_alloc&) {
        have_bounds = false;
    } catch (const std::length_error&) {
        have_bounds = false;
    }
    double s = 0.0;
    BoundsOutcome outcome = BoundsOutcome::ok;
    if (have_bounds) {
        outcome = column_bounds(view, lo, hi);
        if (outcome == BoundsOutcome::ok) s = largest_range(lo, hi);
    } else {
        std::vector<double>().swap(lo);
        std::vector<double>().swap(hi);
        outcome = largest_range_without_storage(view, s);
    }
    if (outcome == BoundsOutcome::not_finite) return invalid_input("data must contain only finite values");
    if (s == 0.0 || !std::isfinite(s)) return invalid_input("data must contain at least two distinct points");
    if (!have_bounds) return out_of_memory(kNoMemoryMessage);

    uint64_t total = 0;
    uint64_t bytes = 0;
    if (!checked_mul(n, d, total) || !checked_mul(total, sizeof(float), bytes)) {
        return out_of_memory(kNoMemoryMessage);
    }

    try {
        PreparedInput out;
        out.n = n;
        out.d = d;
        out.scale = s;
        out.element = std::is_same_v<T, float> ? ElementType::float32 : ElementType::float64;

        // Reserve everything before writing anything, largest first, so an
        // impossible request fails before any memory is touched.
        out.data.reserve(total);
        out.center.reserve(d);
        out.labels.reserve(n);

        // Centres, each half taken before the sum.
        out.center.resize(d);
        for (uint64_t j = 0; j < d; ++j) {
            const uint64_t c = view.col_stride == 0 ? 0 : j;
            out.center[j] = 0.5 * lo[c] + 0.5 * hi[c];
        }
        std::vector<double>().swap(lo);
        std::vector<double>().swap(hi);

        // The one full copy, written row after row.
        out.data.resize(total);
        float* z = out.data.data();
        for (uint64_t i = 0; i < n; ++i) {
            const char* p = element_ptr(view, i, 0);
            for (uint64_t j = 0; j < d; ++j, p += view.col_stride) {
                *z++ = static_cast<float>((load<T>(p, view.swapped) - out.center[j]) / s);
            }
        }

        // Class indices in order of first appearance; the map only looks up.
        out.labels.resize(n);
        std::unordered_map<int64_t, uint64_t> class_of;
        for (uint64_t i = 0; i < n; ++i) {
            const auto [it, inserted] = class_of.try_emplace(y[i], class_of.size());
            out.labels[i] = it->second;
        }

        Status unique = validate_cross_class_duplicates(out.data, d, out.labels);
        if (!unique) return unique.error();

        out.scaled_tol = scale_tolerance(tol, s);
        return out;
    } catch (const std::bad_alloc&) {
        return out_of_memory(kNoMemoryMessage);
    } catch (const std::length_error&) {
        return out_of_memory(kNoMemoryMessage);
    }
}

template Result<PreparedInput> prepare<float>(const StridedMatrix<float>&, std::span<const int64_t>, uint64_t,
                                              uint64_t, double);
template Result<PreparedInput> prepare<double>(const StridedMatrix<double>&, std::span<const int64_t>, uint64_t,
                                               uint64_t, double);

Status check_points_finite(std::span<const double> rows, ElementType element) {
    if (std::all_of(rows.begin(), rows.end(), [](double v) { return std::isfinite(v); })) return ok_status();
    return invalid_input(element == ElementType::float32 ? kFloat32RangeMessage : kFloat64RangeMessage);
}

std::vector<double> denormalize_points(std::span<const float> points, uint64_t d, std::span<const double> center,
                                       double scale, ElementType element) {
    const uint64_t rows = points.size() / d;
    std::vector<double> out(rows * d);
    for (uint64_t i = 0; i < rows; ++i) {
        for (uint64_t j = 0; j < d; ++j) {
            // Product and sum are two rounded double operations, never fused.
            const double scaled = static_cast<double>(points[i * d + j]) * scale;
            const double x = scaled + center[j];
            out[i * d + j] = element == ElementType::float32 ? static_cast<double>(static_cast<float>(x)) : x;
        }
    }
    return out;
}

}  // namespace vantrel
