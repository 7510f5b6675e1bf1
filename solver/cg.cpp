// Preconditioned conjugate gradients for symmetric positive definite systems.
#include "iterative.h"
#include "vector_ops.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace brisvel {

SolveResult conjugate_gradient(const CsrMatrix &a, const Preconditioner &m, const Vector &b,
                               Vector &x, const SolveControl &control) {
    const std::size_t n = b.size();
    SolveResult result;
    const double norm_b = norm2(n, b.data());
    if (!std::isfinite(norm_b)) {
        result.status = SolveStatus::NotFinite;
        return result;
    }
    if (norm_b == 0.0) {  // b = 0: x = 0 is exact
        std::fill(x.begin(), x.end(), 0.0);
        result.status = SolveStatus::Converged;
        return result;
    }
    Vector r(n), z(n), p(n), q(n);
    const double tol = control.threshold * norm_b;  // target for ||r||
    double rz = 0.0;
    double start_residual = std::numeric_limits<double>::infinity();

    // Starts afresh from the true residual r = b - Ax; refuses when the true
    // residual has not improved since the last start.
    auto restart = [&]() {
        result.residual = true_residual(a, b, x, norm_b, r);
        if (!(result.residual < start_residual) || result.residual <= control.threshold)
            return false;
        start_residual = result.residual;
        m.apply(r.data(), z.data());                      // z = M^-1 r
        p = z;                                            // p = z
        rz = dot(n, r.data(), z.data());
        return true;
    };
    SolveStatus stopped = SolveStatus::NotConverged;

    if (restart()) {
        while (result.iterations < control.max_iterations) {
            ++result.iterations;
            spmv(a, p.data(), q.data());                  // q = A p
            const double pq = dot(n, p.data(), q.data());
            if (!(pq > 0.0) || !(rz > 0.0)) {             // A or M is not positive definite
                stopped = std::isfinite(pq) ? SolveStatus::Breakdown : SolveStatus::NotFinite;
                break;
            }
            const double alpha = rz / pq;                 // alpha = (r, z) / (p, A p)
            axpy(n, alpha, p.data(), x.data());           // x += alpha p
            axpy(n, -alpha, q.data(), r.data());          // r -= alpha A p
            const double norm_r = norm2(n, r.data());
            if (!std::isfinite(norm_r)) {
                stopped = SolveStatus::NotFinite;
                break;
            }
            if (norm_r <= tol) {                          // check against the true residual
                if (!restart())
                    break;
                continue;
            }
            m.apply(r.data(), z.data());                  // z = M^-1 r
            const double rz_new = dot(n, r.data(), z.data());
            const double beta = rz_new / rz;              // beta = (r_new, z_new) / (r, z)
            rz = rz_new;
            xpby(n, z.data(), beta, p.data());            // p = z + beta p
        }
    }
    result.residual = true_residual(a, b, x, norm_b, r);
    if (!std::isfinite(result.residual))
        result.status = SolveStatus::NotFinite;
    else if (result.residual <= control.threshold)
        result.status = SolveStatus::Converged;
    else
        result.status = stopped;
    return result;
}

} // namespace brisvel
