// Proximity kernels on the single-precision BLAS.
//
// Squared distances are never formed: for a query q and row x_j,
// |q - x_j|^2 = |q|^2 - 2 (q . x_j - 0.5 |x_j|^2), so the row with the largest
// score q . x_j - h_j (h_j the half squared norm) is the nearest. All query-row
// products of a block come from one sgemm; the scan then keeps the nearest row
// and the nearest row of another class. Ties go to the lower row index and a
// NaN score never wins, so the pair found does not depend on block sizes.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <vector>

namespace vantrel {

// Squared norm of each row via cblas_sdot(d, row, 1, row, 1), rows in order.
std::vector<float> row_norms_sq(uint64_t n, uint64_t d, const float* data);
// Each norm times 0.5f.
std::vector<float> half_row_norms_sq(std::span<const float> norms);

// out[i * c + t] = queries_i . rows_t, one cblas_sgemm (row-major, B transposed).
// r, c, d fit a signed 32-bit BLAS integer; r * c <= 8,388,608.
void product_block(const float* queries, uint64_t r, const float* rows, uint64_t c, uint64_t d,
                   float* out);

struct QueryState {
    uint64_t best_index = 0;
    uint64_t second_index = 0;
    uint64_t best_label = std::numeric_limits<uint64_t>::max();  // matches no class
    float best_score = -std::numeric_limits<float>::infinity();
    float second_score = -std::numeric_limits<float>::infinity();
};

inline bool has_pair(const QueryState& s) {
    return s.second_score > -std::numeric_limits<float>::infinity();
}

// Folds scores of rows j0 .. j0+c-1 (products[t] - half_norms[j0+t]) into the
// state, rows in ascending order, by the scan rule.
void update_query_state(QueryState& state, const float* products, uint64_t c, uint64_t j0,
                        const float* half_norms, const uint64_t* labels);

// Class indices narrowed to 32 bits for the vectorised scan (every class index
// is below the row count, which fits a signed 32-bit integer).
std::vector<uint32_t> compact_classes(const uint64_t* labels, uint64_t n);

// The same fold as update_query_state, leaving the state exactly as the
// row-by-row rule would, but in two vectorised passes over the run: the
// highest score, then the highest score of a class other than the winner's.
// classes is the compact copy of the class indices (indexed like half_norms);
// the state is a fresh QueryState or one built by these folds over earlier
// rows, and a run holds fewer than 2^31 rows.
void scan_scores(QueryState& state, const float* products, uint64_t c, uint64_t j0, const float* half_norms,
                 const uint32_t* classes);

}  // namespace vantrel
