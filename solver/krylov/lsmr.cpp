// LSMR: min ||b - A N y||, x = N y, by Golub-Kahan bidiagonalisation of A N,
// minimising ||(A N)'r|| over the Krylov space; one sweep over A an
// iteration makes both products, A N v and A'u.
#include "kernels/fused_ops.h"
#include "kernels/normal_ops.h"
#include "kernels/parallel.h"
#include "kernels/vector_ops.h"
#include "krylov/least_squares.h"

#include <algorithm>
#include <cmath>

namespace brisvel {

SolveResult lsmr(const NormalSystem &s, const NormalPreconditioner &m, Vector &x,
                 const SolveControl &control) {
    const std::size_t rows = s.b.size(), n = x.size();
    KrylovVectors work(5, n, control.workspace), row_work(2, rows, nullptr);
    double *v = work[0], *w = work[1], *h = work[2], *hbar = work[3], *t = work[4];
    double *u = row_work[0];     // U, with u = U / beta
    ScatterSums &atu = *s.sums;  // A'U, in parts
    NormalMonitor monitor(s, control, row_work[1], t);
    SolveResult result;
    if (monitor.start(x, result))
        return result;
    const double *d = m.diagonal();  // N = diag(d), folded into the passes; else null
    std::copy(row_work[1], row_work[1] + rows, u);  // U = b - A x
    double beta = norm2(rows, u), alpha = 0.0;
    monitor.start_gradient(atu.part(0));  // A'U
    // v = N'A'u - c v, with v normalised and w = N v when N is not diagonal;
    // returns the norm of the new v.
    auto next_v = [&](double c) {
        if (d != nullptr)
            return std::sqrt(gather_minus_scaled(n, atu, 1.0 / beta, d, c, v));
        gather_minus_scaled(n, atu, 1.0 / beta, nullptr, 0.0, t);  // t = A'u
        m.apply_transpose(t, w);                                   // w = N't
        xpby(n, w, -c, v);                                         // v = w - c v
        const double norm = norm2(n, v);
        scaled_copy(n, norm > 0.0 ? 1.0 / norm : 0.0, v, v);
        m.apply(v, w);  // w = N v
        return norm;
    };
    alpha = next_v(0.0);
    double zetabar = alpha * beta, alphabar = alpha, rho = 1.0, rhobar = 1.0, cbar = 1.0;
    double sbar = 0.0;
    lsmr_directions(n, d, v, alpha > 0.0 ? 1.0 / alpha : 0.0, w, 0.0, 0.0, 0.0, h, hbar,
                    x.data());  // v /= alpha, w = N v, h = w
    monitor.calibrate(std::fabs(zetabar));
    int stopped = QV_ERROR_NOT_CONVERGED;
    TeamPacer pace(rows);
    while (result.iterations < control.max_iterations) {
        pace.iteration_done(1.0);
        ++result.iterations;
        const double beta_old = beta;
        beta = std::sqrt(
            product_and_scatter(s.a, s.split, w, alpha / beta_old, u, atu));  // U = A N v - alpha u
        if (beta > 0.0)
            alpha = next_v(beta);  // v = N'A'u - beta v
        // Rotations: R_k from the bidiagonal, then Rbar_k from R_k'.
        const double rho_old = rho, rhobar_old = rhobar;
        rho = std::hypot(alphabar, beta);
        const double c = alphabar / rho, sn = beta / rho;
        const double theta_new = sn * alpha, thetabar = sbar * rho;
        alphabar = c * alpha;
        rhobar = std::hypot(cbar * rho, theta_new);
        cbar = cbar * rho / rhobar;
        sbar = theta_new / rhobar;
        const double zeta = cbar * zetabar;
        zetabar = -sbar * zetabar;  // |zetabar| = ||(A N)'r||
        // hbar = h - c1 hbar; x += c2 hbar; h = N v - c3 h.
        const double scale = d != nullptr && alpha > 0.0 && beta > 0.0 ? 1.0 / alpha : 1.0;
        lsmr_directions(n, d, v, scale, w, thetabar * rho / (rho_old * rhobar_old),
                        zeta / (rho * rhobar), theta_new / rho, h, hbar, x.data());
        const double estimate = monitor.estimate(std::fabs(zetabar));
        if (!std::isfinite(estimate) || !std::isfinite(alpha)) {
            stopped = QV_ERROR_BREAKDOWN;
            break;
        }
        if (control.interrupted(result.iterations, estimate)) {
            stopped = QV_ERROR_INTERRUPTED;
            break;
        }
        if (control.converged(estimate) && monitor.confirmed(x, std::fabs(zetabar))) {
            stopped = QV_OK;
            break;
        }
        if (!(alpha > 0.0 && beta > 0.0)) {  // the Krylov space is exhausted:
            stopped = QV_ERROR_STAGNATED;     // nothing more to gain
            break;
        }
    }
    monitor.finish(x, stopped, result);
    return result;
}

}  // namespace brisvel
