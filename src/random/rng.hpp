// The random number source: a seedable ChaCha12 stream and a per-thread
// entropy-keyed generator, plus the exact draw formulas built on them.
//
// Reproducibility rests on three things fixed here: the word stream (ChaCha12
// keystream, 64-bit counter and 64-bit zero stream, four blocks per refill),
// the PCG32 seed expansion, and for every draw the number of 32-bit words it
// takes and its float rounding. Draws are templates so both generators share
// one definition of each formula.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "result.hpp"

namespace vantrel {

inline constexpr int kBufferWords = 64;  // four ChaCha blocks

struct StdRng {
    std::array<uint32_t, 8> key{};
    uint64_t counter = 0;  // next block number
    uint64_t stream = 0;   // always 0
    std::array<uint32_t, kBufferWords> buffer{};
    int index = kBufferWords;  // next unread word; kBufferWords means empty
};

struct ThreadRng {
    StdRng core;
    int64_t threshold = 65536;
    int64_t bytes_until_reseed = 65536;
    uint64_t fork_counter = 0;
};

// Fills buffer with blocks counter..counter+3, advances counter by 4, index = 0.
void refill(StdRng& rng);

// Reseeds first when 64 KiB have been produced or a fork happened since keying.
void refill(ThreadRng& rng);

// The four-block ChaCha12 function behind refill, per instruction-set variant
// (exposed so tests can check that every variant gives the same words).
enum class ChachaIsa { baseline, avx2, avx512 };
bool chacha_isa_available(ChachaIsa isa);
// The variant refill uses: the widest one the CPU supports.
ChachaIsa best_chacha_isa();
// Writes blocks counter..counter+3 of (key, stream) to out[0..63], block k's
// word j at 16k + j.
void chacha12_four_blocks(const std::array<uint32_t, 8>& key, uint64_t counter, uint64_t stream,
                          uint32_t* out, ChachaIsa isa);

// PCG32 (XSH-RR) expansion of a 64-bit seed into the 8 key words.
std::array<uint32_t, 8> expand_seed(uint64_t seed);
StdRng seed_from_u64(uint64_t seed);

// The calling thread's generator, created (and keyed from the OS) on first use.
// Fails with "could not initialize thread_rng: <system error>".
Result<ThreadRng*> thread_rng();

// A ThreadRng keyed with the given words, as if just created (counter 0, full
// reseed allowance, current fork count). thread_rng() uses it with OS bytes;
// tests use it to follow the reseed schedule from a known key.
ThreadRng thread_rng_from_key(const std::array<uint32_t, 8>& key);

// n bytes from the OS entropy source (getrandom, or /dev/urandom where the
// kernel lacks getrandom or a sandbox forbids it). The error text is the
// system's description of the failure.
Status fill_entropy(void* buf, size_t n);
// The /dev/urandom path of fill_entropy, used directly (tests).
Status fill_entropy_from_urandom(void* buf, size_t n);

// Process-wide count of fork events, bumped by a pthread_atfork handler in all
// three phases; the handler is registered when the library is loaded.
inline std::atomic<uint64_t> thread_rng_fork_count{0};

inline StdRng& core_of(StdRng& rng) { return rng; }
inline StdRng& core_of(ThreadRng& rng) {
    // After a fork the unread words are held by both processes. Dropping them
    // makes this draw refill, and that refill re-keys, so parent and child
    // never hand out the same words.
    if (rng.fork_counter < thread_rng_fork_count.load(std::memory_order_relaxed)) {
        rng.core.index = kBufferWords;
    }
    return rng.core;
}

template <class G>
inline uint32_t next_u32(G& g) {
    StdRng& c = core_of(g);
    if (c.index >= kBufferWords) refill(g);
    return c.buffer[c.index++];
}

template <class G>
inline uint64_t next_u64(G& g) {
    StdRng& c = core_of(g);
    if (c.index < kBufferWords - 1) {
        uint64_t lo = c.buffer[c.index];
        uint64_t hi = c.buffer[c.index + 1];
        c.index += 2;
        return lo | (hi << 32);
    }
    if (c.index == kBufferWords - 1) {
        uint64_t lo = c.buffer[kBufferWords - 1];
        refill(g);
        uint64_t hi = c.buffer[0];
        c.index = 1;
        return lo | (hi << 32);
    }
    refill(g);
    uint64_t lo = c.buffer[0];
    uint64_t hi = c.buffer[1];
    c.index = 2;
    return lo | (hi << 32);
}

template <class G>
inline bool sample_bool(G& g) {
    return static_cast<int32_t>(next_u32(g)) < 0;
}

// An inclusive float32 range [low, low + scale * m] with the scale already
// searched so that the largest result does not exceed high. The search depends
// only on the bounds, so callers drawing many values from one range may make it
// once; every draw still takes exactly one word.
struct InclusiveF32 {
    float low = 0.0f;
    float scale = 0.0f;
};

// Fails with "cannot sample empty range" or "Uniform::new_inclusive: range overflow".
Result<InclusiveF32> make_inclusive_f32(float low, float high);

template <class G>
inline float sample_from(G& g, const InclusiveF32& range) {
    uint32_t w = next_u32(g);
    uint32_t bits = (w >> 9) | 0x3F800000u;
    float v;
    __builtin_memcpy(&v, &bits, sizeof v);
    return (v - 1.0f) * range.scale + range.low;
}

template <class G>
inline Result<float> sample_inclusive_f32(G& g, float low, float high) {
    auto range = make_inclusive_f32(low, high);
    if (!range) return range.error();
    return sample_from(g, range.value());
}

template <class G>
inline double sample_unit_f64(G& g) {
    return static_cast<double>(next_u64(g) >> 11) * 0x1p-53;
}

template <class G>
inline double sample_open_unit_f64(G& g) {
    uint64_t bits = (next_u64(g) >> 12) | 0x3FF0000000000000ull;
    double v;
    __builtin_memcpy(&v, &bits, sizeof v);
    uint64_t minus_almost_one_bits = 0xBFEFFFFFFFFFFFFFull;
    double minus_almost_one;
    __builtin_memcpy(&minus_almost_one, &minus_almost_one_bits, sizeof minus_almost_one);
    return v + minus_almost_one;
}

// Uniform in [0, count), count >= 1: widening multiply with a conservative zone.
template <class G>
inline uint64_t sample_index(G& g, uint64_t count) {
    const uint64_t zone = (count << __builtin_clzll(count)) - 1;
    for (;;) {
        unsigned __int128 product = static_cast<unsigned __int128>(next_u64(g)) * count;
        uint64_t lo = static_cast<uint64_t>(product);
        if (lo <= zone) return static_cast<uint64_t>(product >> 64);
    }
}

}  // namespace vantrel
