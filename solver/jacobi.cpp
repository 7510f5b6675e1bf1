// Jacobi preconditioner: scaling by the inverse of the diagonal.
#include "preconditioner.h"

#include <cmath>

namespace brisvel {

JacobiPreconditioner::JacobiPreconditioner(const CsrMatrix &a) : inverse_diagonal_(diagonal(a)) {
    for (double &d : inverse_diagonal_)
        d = d != 0.0 && std::isfinite(1.0 / d) ? 1.0 / d : 1.0;  // never divide by a zero diagonal
}

void JacobiPreconditioner::apply(const double *r, double *z) const {
    const std::size_t n = inverse_diagonal_.size();
    for (std::size_t i = 0; i < n; ++i)
        z[i] = inverse_diagonal_[i] * r[i];  // z = D^-1 r
}

} // namespace brisvel
