// The true residual, from which every method judges convergence.
#include "iterative.h"
#include "vector_ops.h"

namespace brisvel {

double true_residual(const CsrMatrix &a, const Vector &b, const Vector &x, double norm_b,
                     Vector &r) {
    residual(a, b.data(), x.data(), r.data());  // r = b - A x
    return norm2(r.size(), r.data()) / norm_b;
}

} // namespace brisvel
