// Jacobi preconditioner: scaling by the inverse of the diagonal.
#include "precond/preconditioner.h"

#include "kernels/parallel.h"

#include <cmath>

namespace brisvel {

JacobiPreconditioner::JacobiPreconditioner(const CsrMatrix &a) : inverse_diagonal_(diagonal(a)) {
    for (double &d : inverse_diagonal_)
        d = d != 0.0 && std::isfinite(1.0 / d) ? 1.0 / d : 1.0;  // never divide by a zero diagonal
}

void JacobiPreconditioner::apply(const double *r, double *z) const {
    const double *d = inverse_diagonal_.data();
    parallel_for(inverse_diagonal_.size(), [=](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i)
            z[i] = d[i] * r[i];  // z = D^-1 r
    });
}

}  // namespace brisvel
