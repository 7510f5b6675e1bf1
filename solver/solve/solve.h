// Turning an assembled context into the system a method solves, and solving it.
#pragma once

#include "context/context.h"
#include "krylov/krylov.h"

namespace brisvel {

// The rows over the unknowns only: locked variables' terms moved to the
// right-hand side, unlocked variables renumbered in order.
struct ReducedSystem {
    CsrMatrix matrix;
    Vector rhs;
    std::vector<std::int32_t> unknowns;  // variable index of each unknown
};

// Builds the reduced system; fills nothing when no variable is locked.
ReducedSystem reduce_locked(const Context &ctx);
// True when CG on the formed A'A is expected to be faster than a method
// that never forms it: when an estimate of nnz(A'A) from A's structure,
// min(sum_i len_i^2, n^2) for rows of len_i entries, is at most 3 nnz(A).
// CG then reads about as many entries an iteration as a sweep over A makes
// scattered reads and writes (2 nnz(A)), with fewer vector passes, and
// forming A'A costs only a few iterations. (Banded rows of two entries:
// 2 nnz(A); five entries a row in random columns: 5 nnz(A).)
bool normal_matrix_pays(const CsrMatrix &a);
// A'A, with sorted rows, from A alone: beyond A'A it keeps only A's pattern
// transposed while it works, no transposed copy of A. With upper, only its
// upper triangle (the diagonal included), the bits of the same entries.
CsrMatrix normal_matrix(const CsrMatrix &a, bool upper = false);
// The farthest any row of A'A reaches from the diagonal: the widest span of
// columns in a row of A.
std::int64_t normal_reach(const CsrMatrix &a);
// Solves the context's closed system into its variables. The code is QV_OK
// on success, otherwise the reason it failed; the residual is that of the
// whole problem (see qvSolve).
SolveResult solve_system(Context &ctx);

}  // namespace brisvel
