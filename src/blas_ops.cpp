// Proximity kernels: squared row norms on cblas_sdot, the one-sgemm product of
// a query block with a data block, and the scan that keeps, per query point,
// the nearest row and the nearest row of another class.
//
// The scan has two forms with one result. update_query_state is the rule
// itself, row by row: a row replaces the best only with a strictly higher
// score (so ties go to the lower index and NaN never wins), and a new best of
// another class pushes the old best into the second slot. scan_scores is what
// the search runs: after any run of rows the rule leaves the best at the lowest
// row of the highest score, and the second at the lowest row of the highest
// score among rows whose class differs from the best's. scan_scores computes
// exactly those two maxima in two branch-free vectorised passes and folds them
// into the state with the rule's own tie-breaking.
#include "blas_ops.hpp"

#include "blas_api.hpp"
#include "blas_threads.hpp"

#include <cstring>

namespace vantrel {

namespace {

constexpr float kMinusInf = -std::numeric_limits<float>::infinity();
// Never a compact class index: those are below the 32-bit signed row limit.
constexpr uint32_t kNoClass = std::numeric_limits<uint32_t>::max();

}  // namespace

std::vector<float> row_norms_sq(uint64_t n, uint64_t d, const float* data) {
    std::vector<float> norms(n);
    const blasint width = static_cast<blasint>(d);
    const BlasCall call;
    for (uint64_t i = 0; i < n; ++i) {
        const float* row = data + i * d;
        norms[i] = VANTREL_BLAS(cblas_sdot)(width, row, 1, row, 1);
    }
    return norms;
}

std::vector<float> half_row_norms_sq(std::span<const float> norms) {
    std::vector<float> half(norms.size());
    for (size_t i = 0; i < norms.size(); ++i) half[i] = norms[i] * 0.5f;
    return half;
}

void product_block(const float* queries, uint64_t r, const float* rows, uint64_t c, uint64_t d, float* out) {
    // The BLAS rejects a leading dimension of zero, so an empty block is no call.
    if (r == 0 || c == 0) return;
    const blasint m = static_cast<blasint>(r);
    const blasint cols = static_cast<blasint>(c);
    const blasint k = static_cast<blasint>(d);
    const BlasCall call;
    VANTREL_BLAS(cblas_sgemm)(CblasRowMajor, CblasNoTrans, CblasTrans, m, cols, k, 1.0f, queries, k, rows, k, 0.0f, out, cols);
}

void update_query_state(QueryState& state, const float* products, uint64_t c, uint64_t j0,
                        const float* half_norms, const uint64_t* labels) {
    for (uint64_t t = 0; t < c; ++t) {
        const uint64_t j = j0 + t;
        const float s = products[t] - half_norms[j];
        const uint64_t label = labels[j];
        if (s > state.best_score) {
            if (label != state.best_label) {
                state.second_score = state.best_score;
                state.second_index = state.best_index;
            }
            state.best_score = s;
            state.best_index = j;
            state.best_label = label;
        } else if (s > state.second_score && label != state.best_label) {
            state.second_score = s;
            state.second_index = j;
        }
    }
}

std::vector<uint32_t> compact_classes(const uint64_t* labels, uint64_t n) {
    std::vector<uint32_t> classes(n);
    for (uint64_t j = 0; j < n; ++j) classes[j] = static_cast<uint32_t>(labels[j]);
    return classes;
}

namespace {

// Eight lanes fill one AVX2 register; two sets of lanes run side by side so
// the select chains of neighbouring vectors do not wait on each other.
constexpr uint64_t kLanes = 8;
constexpr uint64_t kSets = 2;
typedef float FloatLanes __attribute__((vector_size(kLanes * sizeof(float))));
typedef int32_t IntLanes __attribute__((vector_size(kLanes * sizeof(int32_t))));
typedef uint32_t ClassLanes __attribute__((vector_size(kLanes * sizeof(uint32_t))));

struct Winner {
    float score = kMinusInf;  // minus infinity: no row won
    uint64_t offset = 0;      // within the run
};

struct LaneMaxima {
    FloatLanes best[kSets];
    IntLanes best_at[kSets];
};

// One vector of rows [t, t + kLanes) into one set of lanes.
template <bool kMasked>
[[gnu::always_inline]] inline void fold_lanes(FloatLanes& best, IntLanes& best_at, const float* products,
                                              const float* half_norms, const uint32_t* classes,
                                              uint32_t excluded, uint64_t t, const IntLanes& offsets) {
    FloatLanes g;
    FloatLanes h;
    std::memcpy(&g, products + t, sizeof g);
    std::memcpy(&h, half_norms + t, sizeof h);
    const FloatLanes s = g - h;
    IntLanes better = s > best;  // false for NaN: a NaN score never wins
    if constexpr (kMasked) {
        ClassLanes cls;
        std::memcpy(&cls, classes + t, sizeof cls);
        better &= (cls != excluded);
    }
    best = better ? s : best;
    best_at = better ? offsets : best_at;
}

// Highest score products[t] - half_norms[t] over the run, at its lowest
// offset, ignoring rows of class `excluded` when kMasked. Each lane keeps its
// own maximum with a strict comparison, so within a lane the first offset
// stays; lanes are then merged by score and, on equal scores, lowest offset.
// Offsets live in 32-bit lanes: a run never exceeds the 32-bit row limit.
template <bool kMasked>
[[gnu::always_inline]] inline Winner top_score(const float* products, const float* half_norms,
                                               const uint32_t* classes, uint32_t excluded, uint64_t c) {
    LaneMaxima lanes;
    for (uint64_t k = 0; k < kSets; ++k) {
        lanes.best[k] = FloatLanes{} + kMinusInf;
        lanes.best_at[k] = IntLanes{};
    }
    IntLanes offsets = {0, 1, 2, 3, 4, 5, 6, 7};
    const IntLanes step = IntLanes{} + static_cast<int32_t>(kLanes);
    uint64_t t = 0;
    for (; t + kSets * kLanes <= c; t += kSets * kLanes) {
        fold_lanes<kMasked>(lanes.best[0], lanes.best_at[0], products, half_norms, classes, excluded, t, offsets);
        fold_lanes<kMasked>(lanes.best[1], lanes.best_at[1], products, half_norms, classes, excluded, t + kLanes,
                            offsets + step);
        offsets += step + step;
    }
    if (t + kLanes <= c) {
        fold_lanes<kMasked>(lanes.best[0], lanes.best_at[0], products, half_norms, classes, excluded, t, offsets);
        t += kLanes;
    }
    Winner w;
    for (uint64_t set = 0; set < kSets; ++set) {
        for (uint64_t k = 0; k < kLanes; ++k) {
            const float score = lanes.best[set][k];
            const uint64_t at = static_cast<uint64_t>(lanes.best_at[set][k]);
            if (score > w.score || (score == w.score && score > kMinusInf && at < w.offset)) {
                w.score = score;
                w.offset = at;
            }
        }
    }
    // The tail lies above every vector offset, so a strict comparison keeps ties low.
    for (; t < c; ++t) {
        if (kMasked && classes[t] == excluded) continue;
        const float s = products[t] - half_norms[t];
        if (s > w.score) {
            w.score = s;
            w.offset = t;
        }
    }
    return w;
}

__attribute__((target_clones("avx2", "default"))) Winner top_score_all(const float* products,
                                                                     const float* half_norms, uint64_t c) {
    return top_score<false>(products, half_norms, nullptr, kNoClass, c);
}

__attribute__((target_clones("avx2", "default"))) Winner top_score_excluding(const float* products,
                                                                           const float* half_norms,
                                                                           const uint32_t* classes,
                                                                           uint32_t excluded, uint64_t c) {
    return top_score<true>(products, half_norms, classes, excluded, c);
}

uint32_t compact_label(uint64_t label) {
    return label < kNoClass ? static_cast<uint32_t>(label) : kNoClass;
}

}  // namespace

void scan_scores(QueryState& state, const float* products, uint64_t c, uint64_t j0, const float* half_norms,
                 const uint32_t* classes) {
    const float* h = half_norms + j0;
    const uint32_t* cls = classes + j0;
    const Winner top = top_score_all(products, h, c);
    // Only scores above minus infinity can change a state.
    if (!(top.score > kMinusInf)) return;

    if (top.score > state.best_score) {
        const uint32_t label = cls[top.offset];
        // Before this run, the highest row of a class other than the new
        // best's was the old best when its class differs, else the old second.
        uint64_t kept_index = state.second_index;
        float kept_score = state.second_score;
        if (state.best_label != label) {
            kept_index = state.best_index;
            kept_score = state.best_score;
        }
        const Winner other = top_score_excluding(products, h, cls, label, c);
        // Earlier rows win ties, so the run's candidate must be strictly higher.
        if (other.score > kept_score) {
            state.second_index = j0 + other.offset;
            state.second_score = other.score;
        } else {
            state.second_index = kept_index;
            state.second_score = kept_score;
        }
        state.best_index = j0 + top.offset;
        state.best_score = top.score;
        state.best_label = label;
        return;
    }

    // The best stays; only rows of another class can raise the second.
    const Winner other = top_score_excluding(products, h, cls, compact_label(state.best_label), c);
    if (other.score > state.second_score) {
        state.second_index = j0 + other.offset;
        state.second_score = other.score;
    }
}

}  // namespace vantrel
