// Optional direct solvers, found at run time.
#pragma once

#include "kernels/csr.h"
#include "krylov/krylov.h"

#include <cstddef>
#include <memory>

namespace brisvel {

// Probes for an extension by name; QV_OK when it can be used.
int init_extension(const char *name);

// A factorisation of a square matrix, kept for as many solves as the caller
// likes, and factored again for new values on the same pattern.
class Factorisation {
  public:
    virtual ~Factorisation() = default;
    // Solves A X = B for k right-hand sides at once; B and X hold n entries a
    // system, one system after another. X is written only on success.
    virtual int solve(const double *b, double *x, std::size_t k) = 0;
    // Factors a, whose pattern is that of the matrix this was made from,
    // keeping what depends on the pattern alone (the ordering, the
    // analysis). QV_OK, or why not: then it must not be used again.
    virtual int refactor(const CsrMatrix &a) = 0;
};

// What a direct method gives: code QV_OK and the factorisation, or the
// QV_ERROR_* code telling why it could not be made and null.
struct BuiltFactorisation {
    int code = 0;
    std::unique_ptr<Factorisation> factor;
};

// Every direct method has this shape: it factors the square matrix a.
// Before its extension has loaded it fails with QV_ERROR_EXTENSION_UNAVAILABLE.
using DirectMethod = BuiltFactorisation (*)(const CsrMatrix &a);

// LU with partial pivoting, in the natural column order or a fill-reducing one.
BuiltFactorisation superlu_natural(const CsrMatrix &a);
BuiltFactorisation superlu_permuted(const CsrMatrix &a);
// LDL' of a symmetric matrix, possibly indefinite; the caller checks symmetry.
BuiltFactorisation cholmod_ldl(const CsrMatrix &a);

// Loading, for init_extension: QV_OK or QV_ERROR_EXTENSION_UNAVAILABLE.
int load_superlu();
int load_cholmod();
// Whether a load has succeeded.
bool superlu_loaded();
bool cholmod_loaded();

}  // namespace brisvel
