// Turning an assembled context into the system a method solves, and solving it.
#pragma once

#include "context/context.h"
#include "krylov/krylov.h"

namespace brisvel {

// Builds the reduced system; fills nothing when no variable is locked.
ReducedSystem reduce_locked(const Context &ctx);
// The right-hand side over the unknowns: b less the locked variables' terms
// for their values, as values holds them.
void reduced_rhs(const ReducedSystem &reduced, const Vector &b, const Vector &values, Vector &out);
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
// Solves the context's closed systems into their variables, reusing the
// setup the last solve kept when it still serves. Each system's code is
// QV_OK on success, otherwise the reason it failed; its residual is that of
// the whole problem (see qvSolve).
Results solve_system(Context &ctx);

}  // namespace brisvel
