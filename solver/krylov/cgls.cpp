// CGLS: conjugate gradients on A'A x = A'b, preconditioned by M^-1 = N N',
// with A'A applied as A'(A p) and the residual r = b - Ax carried along; two
// passes over A an iteration, one making q = A p, the next r -= alpha q and
// A'r.
#include "kernels/normal_ops.h"
#include "kernels/parallel.h"
#include "kernels/vector_ops.h"
#include "krylov/least_squares.h"

#include <algorithm>
#include <cmath>

namespace brisvel {

SolveResult cgls(const NormalSystem &s, const NormalPreconditioner &m, Vector &x,
                 const SolveControl &control) {
    const std::size_t rows = s.b.size(), n = x.size();
    KrylovVectors work(4, n, control.workspace), row_work(3, rows, nullptr);
    double *g = work[0], *z = work[1], *p = work[2], *t = work[3];
    double *r = row_work[0], *q = row_work[1];
    ScatterSums &atr = *s.sums;                         // A'r, in parts
    NormalMonitor monitor(s, control, row_work[2], t);  // t is free when it measures
    SolveResult result;
    if (monitor.start(x, result))
        return result;
    const double *d = m.diagonal();  // N = diag(d): M^-1 = diag(d)^2, folded into A'r
    // z = M^-1 g; returns (g, z).
    auto precondition = [&]() {
        m.apply_transpose(g, t);  // t = N'g
        m.apply(t, z);            // z = N t
        return dot(n, g, z);
    };
    std::copy(row_work[2], row_work[2] + rows, r);  // r = b - Ax, from the start
    monitor.start_gradient(g);                      // g = A'r
    double gamma = precondition();                  // (g, M^-1 g)
    std::copy(z, z + n, p);                         // p = z
    monitor.calibrate(norm2(n, g));
    int stopped = QV_ERROR_NOT_CONVERGED;
    TeamPacer pace(rows);
    while (result.iterations < control.max_iterations) {
        pace.iteration_done(1.0);
        ++result.iterations;
        const double qq = product_norm(s.a, s.split, p, q);  // q = A p
        if (!(qq > 0.0) || !(gamma > 0.0)) {  // A'A or M is not positive definite on p
            stopped = QV_ERROR_BREAKDOWN;
            break;
        }
        const double alpha = gamma / qq;                   // alpha = (g, z) / (A p, A p)
        step_and_scatter(s.a, s.split, alpha, q, r, atr);  // r -= alpha q, A'r
        std::array<double, 2> gg_gz = gather_gradient(n, atr, d, g, z);  // g = A'r
        if (d == nullptr)
            gg_gz[1] = precondition();
        const double beta = gg_gz[1] / gamma;  // beta = (g_new, z_new) / (g, z)
        gamma = gg_gz[1];
        step_and_direction(n, alpha, beta, z, x.data(), p);  // x += alpha p; p = z + beta p
        const double norm_g = std::sqrt(gg_gz[0]);
        const double estimate = monitor.estimate(norm_g);
        if (!std::isfinite(estimate)) {
            stopped = QV_ERROR_BREAKDOWN;
            break;
        }
        if (control.interrupted(result.iterations, estimate)) {
            stopped = QV_ERROR_INTERRUPTED;
            break;
        }
        if (control.converged(estimate) && monitor.confirmed(x, norm_g)) {
            stopped = QV_OK;
            break;
        }
    }
    monitor.finish(x, stopped, result);
    return result;
}

}  // namespace brisvel
