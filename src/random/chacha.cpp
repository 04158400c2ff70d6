// The seedable generator: ChaCha12 keystream four blocks at a time, the PCG32
// expansion of a 64-bit seed into its key, and the inclusive float32 range.
//
// The four blocks of a refill run in lockstep: state word j of all four blocks
// lives in one 4-lane vector, so each quarter-round step is a single vector
// operation with no shuffles inside the rounds; a 4x4 transpose per group of
// four words puts the blocks back in counter order. One integer-only body is
// compiled for baseline x86-64, for AVX2 (byte shuffles for the 8- and 16-bit
// rotations) and for AVX-512VL (32 registers, native rotations); the widest the
// CPU has is chosen at run time, and every variant yields the same words.
#include <bit>
#include <cmath>
#include <cstring>

#include "random/rng.hpp"

namespace vantrel {
namespace {

typedef uint32_t Lanes __attribute__((vector_size(16)));

// "expand 32-byte k" as four little-endian words.
constexpr uint32_t kSigma[4] = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};
constexpr int kDoubleRounds = 6;  // ChaCha12
constexpr int kBlocksPerRefill = kBufferWords / 16;

// PCG32 multiplier and increment of the seed expansion.
constexpr uint64_t kPcgMultiplier = 0x5851F42D4C957F2Dull;
constexpr uint64_t kPcgIncrement = 0xA17654E46FBE17F3ull;

// 1 - 2^-23, the largest value of (v - 1) for v in [1, 2).
constexpr float kMaxUnitF32 = 0x1.fffffcp-1f;

#define VANTREL_INLINE inline __attribute__((always_inline))

typedef uint16_t HalfLanes __attribute__((vector_size(16)));
typedef uint8_t ByteLanes __attribute__((vector_size(16)));

// How the rotations by whole bytes are done: shifts, 16-bit lane swaps
// (baseline SSE2 has pshuflw/pshufhw) or byte shuffles (SSSE3 and later).
enum class Rotate { shifts, half_swap, byte_shuffle };

template <int N>
VANTREL_INLINE Lanes rotl_shifts(Lanes x) {
    return (x << N) | (x >> (32 - N));
}

template <Rotate R>
VANTREL_INLINE Lanes rotl16(Lanes x) {
    if constexpr (R == Rotate::shifts) {
        return rotl_shifts<16>(x);
    } else {
        // On a little-endian lane, swapping its two 16-bit halves is the rotation.
        return reinterpret_cast<Lanes>(
            __builtin_shuffle(reinterpret_cast<HalfLanes>(x), HalfLanes{1, 0, 3, 2, 5, 4, 7, 6}));
    }
}

template <Rotate R>
VANTREL_INLINE Lanes rotl8(Lanes x) {
    if constexpr (R == Rotate::byte_shuffle) {
        return reinterpret_cast<Lanes>(__builtin_shuffle(
            reinterpret_cast<ByteLanes>(x), ByteLanes{3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14}));
    } else {
        return rotl_shifts<8>(x);
    }
}

template <Rotate R>
VANTREL_INLINE void quarter_round(Lanes& a, Lanes& b, Lanes& c, Lanes& d) {
    a += b; d ^= a; d = rotl16<R>(d);
    c += d; b ^= c; b = rotl_shifts<12>(b);
    a += b; d ^= a; d = rotl8<R>(d);
    c += d; b ^= c; b = rotl_shifts<7>(b);
}

template <Rotate R>
VANTREL_INLINE void four_blocks_body(const uint32_t* key, uint64_t counter, uint64_t stream, uint32_t* out) {
    Lanes init[16];
    for (int i = 0; i < 4; ++i) init[i] = Lanes{} + kSigma[i];
    for (int i = 0; i < 8; ++i) init[4 + i] = Lanes{} + key[i];
    // Counters are added in 64 bits so a carry out of word 12 reaches word 13.
    const uint64_t c0 = counter, c1 = counter + 1, c2 = counter + 2, c3 = counter + 3;
    init[12] = Lanes{uint32_t(c0), uint32_t(c1), uint32_t(c2), uint32_t(c3)};
    init[13] = Lanes{uint32_t(c0 >> 32), uint32_t(c1 >> 32), uint32_t(c2 >> 32), uint32_t(c3 >> 32)};
    init[14] = Lanes{} + uint32_t(stream);
    init[15] = Lanes{} + uint32_t(stream >> 32);

    Lanes x[16];
    for (int i = 0; i < 16; ++i) x[i] = init[i];
    for (int r = 0; r < kDoubleRounds; ++r) {
        quarter_round<R>(x[0], x[4], x[8], x[12]);
        quarter_round<R>(x[1], x[5], x[9], x[13]);
        quarter_round<R>(x[2], x[6], x[10], x[14]);
        quarter_round<R>(x[3], x[7], x[11], x[15]);
        quarter_round<R>(x[0], x[5], x[10], x[15]);
        quarter_round<R>(x[1], x[6], x[11], x[12]);
        quarter_round<R>(x[2], x[7], x[8], x[13]);
        quarter_round<R>(x[3], x[4], x[9], x[14]);
    }
    for (int i = 0; i < 16; ++i) x[i] += init[i];

    // Lane b of x[j] is word j of block b; block b goes to out[16b .. 16b+15].
    for (int g = 0; g < 4; ++g) {
        const Lanes a = x[4 * g], b = x[4 * g + 1], c = x[4 * g + 2], d = x[4 * g + 3];
        const Lanes ab_lo = __builtin_shuffle(a, b, Lanes{0, 4, 1, 5});
        const Lanes ab_hi = __builtin_shuffle(a, b, Lanes{2, 6, 3, 7});
        const Lanes cd_lo = __builtin_shuffle(c, d, Lanes{0, 4, 1, 5});
        const Lanes cd_hi = __builtin_shuffle(c, d, Lanes{2, 6, 3, 7});
        const Lanes rows[4] = {
            __builtin_shuffle(ab_lo, cd_lo, Lanes{0, 1, 4, 5}),
            __builtin_shuffle(ab_lo, cd_lo, Lanes{2, 3, 6, 7}),
            __builtin_shuffle(ab_hi, cd_hi, Lanes{0, 1, 4, 5}),
            __builtin_shuffle(ab_hi, cd_hi, Lanes{2, 3, 6, 7}),
        };
        for (int block = 0; block < 4; ++block) std::memcpy(out + 16 * block + 4 * g, &rows[block], sizeof(Lanes));
    }
}

void four_blocks_baseline(const uint32_t* key, uint64_t counter, uint64_t stream, uint32_t* out) {
    four_blocks_body<Rotate::half_swap>(key, counter, stream, out);
}

#if defined(__x86_64__) || defined(__i386__)
#define VANTREL_HAVE_X86_VARIANTS 1
// Byte shuffles assume little-endian lanes, which x86 has.
__attribute__((target("avx2"))) void four_blocks_avx2(const uint32_t* key, uint64_t counter, uint64_t stream,
                                                      uint32_t* out) {
    four_blocks_body<Rotate::byte_shuffle>(key, counter, stream, out);
}

// AVX-512VL: 32 vector registers hold the whole state and the rotations
// become single instructions.
__attribute__((target("avx512f,avx512vl"))) void four_blocks_avx512(const uint32_t* key, uint64_t counter,
                                                                   uint64_t stream, uint32_t* out) {
    four_blocks_body<Rotate::shifts>(key, counter, stream, out);
}
#endif

}  // namespace

bool chacha_isa_available(ChachaIsa isa) {
    switch (isa) {
        case ChachaIsa::baseline:
            return true;
#ifdef VANTREL_HAVE_X86_VARIANTS
        case ChachaIsa::avx2:
            return __builtin_cpu_supports("avx2");
        case ChachaIsa::avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
#else
        case ChachaIsa::avx2:
        case ChachaIsa::avx512:
            return false;
#endif
    }
    return false;
}

ChachaIsa best_chacha_isa() {
    if (chacha_isa_available(ChachaIsa::avx512)) return ChachaIsa::avx512;
    if (chacha_isa_available(ChachaIsa::avx2)) return ChachaIsa::avx2;
    return ChachaIsa::baseline;
}

void chacha12_four_blocks(const std::array<uint32_t, 8>& key, uint64_t counter, uint64_t stream,
                          uint32_t* out, ChachaIsa isa) {
    switch (isa) {
#ifdef VANTREL_HAVE_X86_VARIANTS
        case ChachaIsa::avx512:
            four_blocks_avx512(key.data(), counter, stream, out);
            return;
        case ChachaIsa::avx2:
            four_blocks_avx2(key.data(), counter, stream, out);
            return;
#endif
        default:
            four_blocks_baseline(key.data(), counter, stream, out);
            return;
    }
}

void refill(StdRng& rng) {
    // The CPU model is read by a library constructor, so each test is a load
    // and a bit test; a refill happens once every 64 words.
    chacha12_four_blocks(rng.key, rng.counter, rng.stream, rng.buffer.data(), best_chacha_isa());
    rng.counter += kBlocksPerRefill;
    rng.index = 0;
}

std::array<uint32_t, 8> expand_seed(uint64_t seed) {
    std::array<uint32_t, 8> key{};
    uint64_t state = seed;
    for (uint32_t& word : key) {
        // Advance first: the seed itself never reaches the output function.
        state = state * kPcgMultiplier + kPcgIncrement;
        const uint32_t xorshifted = static_cast<uint32_t>(((state >> 18) ^ state) >> 27);
        const int rotation = static_cast<int>(state >> 59);
        word = std::rotr(xorshifted, rotation);
    }
    return key;
}

StdRng seed_from_u64(uint64_t seed) {
    StdRng rng;
    rng.key = expand_seed(seed);
    rng.counter = 0;
    rng.stream = 0;
    rng.index = kBufferWords;
    return rng;
}

Result<InclusiveF32> make_inclusive_f32(float low, float high) {
    // Written so that a NaN bound fails too.
    if (!(low <= high)) return internal_error("cannot sample empty range");
    float scale = (high - low) / kMaxUnitF32;
    if (!std::isfinite(scale)) return internal_error("Uniform::new_inclusive: range overflow");
    // The division may round up; shrink the scale one ulp at a time until the
    // largest draw, scale * kMaxUnitF32 + low, no longer exceeds high. Each
    // product and sum is rounded on its own (the build disables contraction).
    while (scale * kMaxUnitF32 + low > high) {
        scale = std::bit_cast<float>(std::bit_cast<uint32_t>(scale) - 1u);
    }
    return InclusiveF32{low, scale};
}

}  // namespace vantrel
