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
// A'A, with sorted rows, given A and its transpose.
CsrMatrix normal_matrix(const CsrMatrix &a, const CsrMatrix &at);
// Solves the context's closed system into its variables. The code is QV_OK
// on success, otherwise the reason it failed; the residual is that of the
// whole problem (see qvSolve).
SolveResult solve_system(Context &ctx);

}  // namespace brisvel
