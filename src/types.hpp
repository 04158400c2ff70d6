// Small records shared by the search, the batched driver and the tests.
#pragma once

#include <cstdint>
#include <limits>

namespace vantrel {

// Two data-row indices, smaller first once stored in a result.
struct Pair {
    uint64_t first = 0;
    uint64_t second = 0;
    friend bool operator==(const Pair&, const Pair&) = default;
};

inline constexpr uint64_t kNoIndex = std::numeric_limits<uint64_t>::max();
// Marker of a point that found no row of another class.
inline constexpr Pair kNoPair{kNoIndex, kNoIndex};

inline constexpr uint64_t kMaxBlasInt = 2147483647;  // largest signed 32-bit BLAS size

// a * b, or false when the product does not fit in 64 bits.
inline bool checked_mul(uint64_t a, uint64_t b, uint64_t& out) {
    return !__builtin_mul_overflow(a, b, &out);
}

}  // namespace vantrel
