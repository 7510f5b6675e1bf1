// The true residual, from which every method judges convergence.
#include "krylov/krylov.h"
#include "kernels/vector_ops.h"

#include <cmath>

namespace brisvel {

double true_residual(const CsrMatrix &a, const Vector &b, const Vector &x, double norm_b,
                     double *r) {
    const double bound = residual(a, b.data(), x.data(), r);  // r = b - A x
    // No smaller than the rounding error of r allows us to verify.
    return std::fmax(norm2(b.size(), r), bound) / norm_b;
}

}  // namespace brisvel
