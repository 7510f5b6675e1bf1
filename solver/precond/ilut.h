// Threshold ILU with column pivoting, and the scalings and row order it is given.
#pragma once

#include "kernels/csr.h"
#include "precond/triangular.h"

#include <cstdint>
#include <vector>

namespace brisvel {

// A row order and scalings of A: B = P Dr A Dc, where row i of B is row
// row_of[i] of A times row_scale[i], and column j is scaled by col_scale[j].
struct RowOrder {
    std::vector<std::int32_t> row_of;
    Vector row_scale, col_scale;
};

// Rows, then columns, scaled to a largest entry of one; the rows in order.
// False when a row or a column is empty or a scale is not finite.
bool equilibrate(const CsrMatrix &a, RowOrder &order);

// A maximum-product transversal: the row order that puts on the diagonal
// the entries whose product of magnitudes is largest, and the scalings
// from its dual solution, under which those entries are 1 and no entry is
// larger. False when A is structurally singular or a scale is not finite.
bool max_product_matching(const CsrMatrix &a, RowOrder &order);

struct IlutSettings {
    double drop = 1e-4;  // entries below this times their row's 2-norm are dropped
    double fill = 10.0;  // the factors hold at most fill times B's entries
    double pivot = 0.1;  // a diagonal below this times its row's largest is swapped out
};

// What the factorisation gives: code QV_OK, the factor of B Q in the
// triangular sweeps' form, scheduled for the solve's team, and the column order Q,
// col_at[k] being the column of B at position k; else the QV_ERROR_* code.
struct IlutFactor {
    int code = 0;
    TriangularFactor t;
    std::vector<std::int32_t> col_at;
    std::int64_t entries = 0;  // of L and U, each diagonal once
};

IlutFactor ilutp(const CsrMatrix &b, const IlutSettings &settings);

}  // namespace brisvel
