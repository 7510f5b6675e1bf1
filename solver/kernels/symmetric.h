// A symmetric matrix stored as its upper triangle, and its products.
#pragma once

#include "kernels/csr.h"

#include <cstdint>
#include <vector>

namespace brisvel {

// The upper triangle (the diagonal included) of a symmetric matrix: about
// half the memory of the whole, for least squares' A'A. A
// product gathers each row's upper entries and scatters their mirror
// images into the rows below, so that every row's sum still adds its terms
// in the order of their columns: the same bits as the product by the whole
// matrix in compressed rows, on any team. A thread starts its run of
// blocks by replaying the scatters of the rows above it that reach into it.
struct SymmetricCsr {
    CsrMatrix upper;                      // row i holds a_ij for j >= i, columns ascending
    std::vector<std::size_t> reach_from;  // the first row whose entries reach block b
    std::int64_t longest_row = 0;         // the most entries in a row of the whole matrix
    std::int64_t reach = 0;               // the farthest any row reaches past the diagonal
};

// The stored form of the matrix whose upper triangle is upper. Any reach
// is right; a thread replays up to a reach's worth of rows above its run,
// so the caller keeps the reach near a block for the product to pay.
SymmetricCsr symmetric_from_upper(CsrMatrix upper);
// y = A x, returning (w, y) from the same pass: the bits of spmv_dot on the
// whole matrix.
double spmv_dot(const SymmetricCsr &a, const double *x, double *y, const double *w);
// r = b - A x, the bits of residual on the whole matrix. Returns a bound on
// the rounding error of the computed r, from the longest row's length.
double residual(const SymmetricCsr &a, const double *b, const double *x, double *r);

}  // namespace brisvel
