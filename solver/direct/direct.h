// Optional direct solvers, found at run time.
#pragma once

#include "kernels/csr.h"

namespace brisvel {

// Probes for an extension by name; QV_OK when it can be used.
int init_extension(const char *name);
// Solves the square system A x = b with a direct QV_METHOD_* code; QV_OK on
// success, otherwise the reason. x is written only on success.
int solve_direct(int method, const CsrMatrix &a, const Vector &b, Vector &x);
// True for the methods solve_direct handles.
bool is_direct_method(int method);

// The two extensions. Loading answers QV_OK at once when already loaded and
// tries again after a failure; solving before a successful load answers
// QV_ERROR_EXTENSION_UNAVAILABLE.
int load_superlu();
// LU with partial pivoting; permute picks a fill-reducing column ordering.
int superlu_solve(const CsrMatrix &a, const Vector &b, Vector &x, bool permute);
int load_cholmod();
// LDL' of a symmetric matrix, possibly indefinite.
int cholmod_solve(const CsrMatrix &a, const Vector &b, Vector &x);

}  // namespace brisvel
