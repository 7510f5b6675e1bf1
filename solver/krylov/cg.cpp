// Preconditioned conjugate gradients for symmetric positive definite systems, in fused passes.
#include "krylov/krylov.h"
#include "kernels/parallel.h"
#include "kernels/vector_ops.h"

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
    Workspace work(4, n);
    double *r = work[0], *z = work[1], *p = work[2], *q = work[3];
    const double tol = control.threshold * norm_b;  // target for ||r||
    const double *d = m.inverse_diagonal();         // M^-1 = diag(d), folded into the passes
    double rz = 0.0;
    double start_residual = std::numeric_limits<double>::infinity();
    bool r_is_true = true;  // r is b - Ax for the current x

    // Starts afresh from the true residual r = b - Ax; refuses when the true
    // residual has not improved since the last start.
    auto restart = [&]() {
        result.residual = true_residual(a, b, x, norm_b, r);
        r_is_true = true;
        if (!(result.residual < start_residual) || result.residual <= control.threshold)
            return false;
        start_residual = result.residual;
        m.apply(r, z);           // z = M^-1 r
        std::copy(z, z + n, p);  // p = z
        rz = dot(n, r, z);
        return true;
    };
    SolveStatus stopped = SolveStatus::NotConverged;

    if (restart()) {
        TeamPacer pace(n);
        while (result.iterations < control.max_iterations) {
            pace.iteration_done(1.0);
            ++result.iterations;
            const double pq = spmv_dot(a, p, q, p);  // q = A p, (p, q)
            if (!(pq > 0.0) || !(rz > 0.0)) {        // A or M is not positive definite
                stopped = std::isfinite(pq) ? SolveStatus::Breakdown : SolveStatus::NotFinite;
                break;
            }
            const double alpha = rz / pq;  // alpha = (r, z) / (p, A p)
            const std::array<double, 2> rr_rz = parallel_sum<2>(
                n, [&](std::size_t begin, std::size_t end, std::array<double, 2> &sum) {
                    lane_sum<2>(begin, end, sum, [&](std::size_t i, double *acc) {
                        x[i] += alpha * p[i];  // x += alpha p
                        r[i] -= alpha * q[i];  // r -= alpha A p
                        acc[0] += r[i] * r[i];
                        if (d != nullptr) {
                            z[i] = d[i] * r[i];  // z = M^-1 r
                            acc[1] += r[i] * z[i];
                        }
                    });
                });
            r_is_true = false;
            const double norm_r = std::sqrt(rr_rz[0]);
            if (!std::isfinite(norm_r)) {
                stopped = SolveStatus::NotFinite;
                break;
            }
            if (control.interrupted(result.iterations, norm_r / norm_b)) {
                stopped = SolveStatus::Interrupted;
                break;
            }
            if (norm_r <= tol) {  // check against the true residual
                if (!restart())
                    break;
                continue;
            }
            double rz_new = rr_rz[1];
            if (d == nullptr) {
                m.apply(r, z);  // z = M^-1 r
                rz_new = dot(n, r, z);
            }
            const double beta = rz_new / rz;  // beta = (r_new, z_new) / (r, z)
            rz = rz_new;
            xpby(n, z, beta, p);  // p = z + beta p
        }
    }
    if (!r_is_true)
        result.residual = true_residual(a, b, x, norm_b, r);
    if (!std::isfinite(result.residual))
        result.status = SolveStatus::NotFinite;
    else if (result.residual <= control.threshold)
        result.status = SolveStatus::Converged;
    else
        result.status = stopped;
    return result;
}

}  // namespace brisvel
