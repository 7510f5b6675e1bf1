// Optional direct solvers, found at run time.
#pragma once

#include "kernels/csr.h"
#include "krylov/krylov.h"

namespace brisvel {

// Probes for an extension by name; QV_OK when it can be used.
int init_extension(const char *name);

// Every direct method has this shape: it solves the square system A x = b
// and writes x only on success. Before its extension has loaded it fails
// with QV_ERROR_EXTENSION_UNAVAILABLE.
using DirectMethod = SolveResult (*)(const CsrMatrix &a, const Vector &b, Vector &x);

// LU with partial pivoting, in the natural column order or a fill-reducing one.
SolveResult superlu_natural(const CsrMatrix &a, const Vector &b, Vector &x);
SolveResult superlu_permuted(const CsrMatrix &a, const Vector &b, Vector &x);
// LDL' of a symmetric matrix, possibly indefinite; the caller checks symmetry.
SolveResult cholmod_ldl(const CsrMatrix &a, const Vector &b, Vector &x);

// Loading, for init_extension: QV_OK or QV_ERROR_EXTENSION_UNAVAILABLE.
int load_superlu();
int load_cholmod();
// Whether a load has succeeded.
bool superlu_loaded();
bool cholmod_loaded();

}  // namespace brisvel
