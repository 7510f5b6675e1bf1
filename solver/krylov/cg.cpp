// Preconditioned conjugate gradients for symmetric positive definite systems, in fused passes.
#include "kernels/fused_ops.h"
#include "kernels/parallel.h"
#include "kernels/vector_ops.h"
#include "krylov/krylov.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace brisvel {

namespace {

// For a matrix in compressed rows, or a symmetric one stored as its upper triangle.
template <class Matrix>
SolveResult cg(const Matrix &a, const Preconditioner &m, const Vector &b, Vector &x,
               const SolveControl &control) {
    const std::size_t n = b.size();
    // M^-1 = diag(d) is folded into the passes, and then z = diag(d) r is
    // never stored: the passes that read it make it again from r.
    const double *d = m.inverse_diagonal();
    KrylovVectors work(d != nullptr ? 3 : 4, n, control.workspace);
    double *r = work[0], *p = work[1], *q = work[2], *z = d != nullptr ? nullptr : work[3];
    SolveResult result;
    const KrylovStart start = krylov_start(a, b, x, control, r, result);
    if (start.done)
        return result;
    const double norm_b = start.norm_b, tol = start.tol;  // ||b||, and the target for ||r||
    double rz = 0.0;                                      // (r, z)
    double start_residual = std::numeric_limits<double>::infinity();
    bool r_is_true = true;  // r is b - Ax for the current x

    // Starts afresh from the true residual r = b - Ax; refuses when it meets
    // the threshold, or when a restart would not pay.
    auto restart = [&]() {
        result.residual = true_residual(a, b, x, norm_b, control.threshold, r);
        r_is_true = true;
        if (!restart_pays(result.residual, start_residual) || control.converged(result.residual))
            return false;
        start_residual = result.residual;
        if (z == nullptr) {
            m.apply(r, p);  // p = z = M^-1 r
        } else {
            m.apply(r, z);           // z = M^-1 r
            std::copy(z, z + n, p);  // p = z
        }
        rz = dot(n, r, p);
        return true;
    };
    int stopped = QV_ERROR_NOT_CONVERGED;

    if (restart()) {
        TeamPacer pace(n);
        while (result.iterations < control.max_iterations) {
            pace.iteration_done(1.0);
            ++result.iterations;
            const double pq = spmv_dot(a, p, q, p);  // q = A p, (p, q)
            if (!(pq > 0.0) || !(rz > 0.0)) {        // A or M is not positive definite
                stopped = QV_ERROR_BREAKDOWN;
                break;
            }
            const double alpha = rz / pq;  // alpha = (r, z) / (p, A p)
            const std::array<double, 2> rr_rz = step_and_scale(n, alpha, p, q, d, x.data(), r, z);
            r_is_true = false;  // x += alpha p, r -= alpha A p, z = M^-1 r
            const double norm_r = std::sqrt(rr_rz[0]);
            if (!std::isfinite(norm_r)) {
                stopped = QV_ERROR_BREAKDOWN;
                break;
            }
            if (control.interrupted(result.iterations, norm_r / norm_b)) {
                stopped = QV_ERROR_INTERRUPTED;
                break;
            }
            if (norm_r <= tol) {   // check against the true residual
                if (!restart()) {  // (converged, unless the restart would not pay)
                    stopped = QV_ERROR_STAGNATED;
                    break;
                }
                continue;
            }
            double rz_new = rr_rz[1];
            if (z != nullptr) {
                m.apply(r, z);  // z = M^-1 r
                rz_new = dot(n, r, z);
            }
            const double beta = rz_new / rz;  // beta = (r_new, z_new) / (r, z)
            rz = rz_new;
            if (z != nullptr)
                xpby(n, z, beta, p);  // p = z + beta p
            else
                scaled_direction(n, d, r, beta, p);
        }
    }
    krylov_finish(a, b, x, control, norm_b, r, r_is_true, stopped, result);
    return result;
}

}  // namespace

SolveResult conjugate_gradient(const CsrMatrix &a, const Preconditioner &m, const Vector &b,
                               Vector &x, const SolveControl &control) {
    return cg(a, m, b, x, control);
}

SolveResult conjugate_gradient(const SymmetricCsr &a, const Preconditioner &m, const Vector &b,
                               Vector &x, const SolveControl &control) {
    return cg(a, m, b, x, control);
}

}  // namespace brisvel
