// Preconditioned BiCGStab with residual replacement, in fused passes over the vectors.
#include "kernels/fused_ops.h"
#include "kernels/parallel.h"
#include "kernels/vector_ops.h"
#include "krylov/krylov.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace brisvel {
namespace {

// The updated residual is replaced by the true one each time it has fallen
// this far below its largest norm since the last replacement, which keeps
// the rounding gap between the two at the level of the current residual.
constexpr double replacement_drop = 1e-2;

// The residual and the scalars BiCGStab carries from one iteration to the
// next, with the ways it goes back to the true residual.
struct Recurrence {
    const CsrMatrix &a;
    const Vector &b;
    const Vector &x;
    double norm_b, threshold;
    double *r, *r0, *p, *v;  // the residual, the shadow residual, the direction and A M^-1 p
    SolveResult &result;

    double rho = 1.0, alpha = 1.0, omega = 1.0, r0_sq = 0.0;
    double r0r = 0.0;     // (r0, r) for the current r
    double norm_r = 0.0;  // ||r|| of the current r
    double peak = 0.0;    // largest ||r|| since r was last recomputed from x
    double start_residual = std::numeric_limits<double>::infinity();
    bool r_is_true = true;  // r is b - Ax for the current x

    // r = b - Ax afresh, and its relative norm.
    void recompute() {
        result.residual = true_residual(a, b, x, norm_b, threshold, r);
        r_is_true = true;
    }
    // Carries on with the same recurrences from r = b - Ax, just computed.
    void adopt_true_residual() {
        norm_r = peak = result.residual * norm_b;
        r0r = dot(b.size(), r0, r);
    }
    // Starts the recurrences afresh from the true residual: after a
    // breakdown, or when replacement did not bring the true residual down.
    // Refuses when a restart would not pay (restart_pays).
    bool restart() {
        const std::size_t n = b.size();
        if (!r_is_true)
            recompute();
        if (!restart_pays(result.residual, start_residual))
            return false;
        start_residual = result.residual;
        std::copy(r, r + n, r0);  // shadow residual r0 = r
        r0r = r0_sq = dot(n, r0, r0);
        norm_r = peak = std::sqrt(r0_sq);
        rho = alpha = omega = 1.0;
        std::fill(p, p + n, 0.0);
        std::fill(v, v + n, 0.0);
        return true;
    }
};

}  // namespace

SolveResult bicgstab(const CsrMatrix &a, const Preconditioner &m, const Vector &b, Vector &x,
                     const SolveControl &control) {
    const std::size_t n = b.size();
    const double eps = std::numeric_limits<double>::epsilon();
    KrylovVectors work(7, n, control.workspace);
    double *r = work[0], *r0 = work[1], *p = work[2], *v = work[3];  // s = r - alpha v overwrites r
    double *y = work[4], *z = work[5], *t = work[6];
    SolveResult result;
    const KrylovStart start = krylov_start(a, b, x, control, r, result);
    if (start.done)
        return result;
    const double norm_b = start.norm_b, tol = start.tol;  // ||b||, and the target for ||r||
    const double *d = m.inverse_diagonal();               // M^-1 = diag(d), folded into the passes
    double claimed_residual = std::numeric_limits<double>::infinity();
    Recurrence rec{a, b, x, norm_b, control.threshold, r, r0, p, v, result};
    double &rho = rec.rho, &alpha = rec.alpha, &omega = rec.omega;
    rec.restart();
    int stopped = QV_ERROR_NOT_CONVERGED;  // how the loop ends unless it converges
    TeamPacer pace(n);

    while (result.iterations < control.max_iterations) {
        pace.iteration_done(1.0);
        ++result.iterations;
        const double rho_old = rho;
        rho = rec.r0r;  // rho = (r0, r)
        double beta = (rho / rho_old) * (alpha / omega);
        if (std::fabs(rho) <= eps * eps * rec.r0_sq) {  // r has become orthogonal to r0
            if (!rec.restart()) {
                stopped = QV_ERROR_BREAKDOWN;
                break;
            }
            rho = rec.r0_sq;
            beta = 0.0;
        }
        update_direction(n, r, beta, omega, v, p, d, y);  // p = r + beta (p - omega v), y = M^-1 p
        if (d == nullptr)
            m.apply(p, y);
        alpha = rho / spmv_dot(a, y, v, r0);  // v = A y, alpha = rho / (r0, v)
        if (!std::isfinite(alpha) || !std::isfinite(beta)) {
            if (!rec.restart()) {
                stopped = QV_ERROR_BREAKDOWN;
                break;
            }
            continue;
        }
        const double norm_s = std::sqrt(subtract_scaled(n, alpha, v, r, d, z));  // s = r - alpha v
        rec.r_is_true = false;
        if (norm_s <= tol) {              // the half step is enough
            axpy(n, alpha, y, x.data());  // x += alpha y
            if (control.interrupted(result.iterations, norm_s / norm_b)) {
                stopped = QV_ERROR_INTERRUPTED;
                break;
            }
            rec.recompute();
            if (control.converged(result.residual))
                break;
            if (!rec.restart()) {
                stopped = QV_ERROR_STAGNATED;
                break;
            }
            continue;
        }
        if (d == nullptr)
            m.apply(r, z);                                          // z = M^-1 s
        const std::array<double, 2> tt_ts = spmv_dots(a, z, t, r);  // t = A z
        const double tt = tt_ts[0], ts = tt_ts[1];
        if (!(std::fabs(ts) > eps * std::sqrt(tt) * norm_s)) {  // omega would vanish
            axpy(n, alpha, y, x.data());                        // keep the half step's progress
            if (!rec.restart()) {
                stopped = QV_ERROR_BREAKDOWN;
                break;
            }
            continue;
        }
        omega = ts / tt;  // omega minimises ||s - omega t||
        const std::array<double, 2> rr_r0r =
            update_iterate_and_residual(n, alpha, y, omega, z, t, r0, x.data(), r);
        rec.norm_r = std::sqrt(rr_r0r[0]);  // x += alpha y + omega z, r = s - omega t
        rec.r0r = rr_r0r[1];
        if (!std::isfinite(rec.norm_r)) {
            stopped = QV_ERROR_BREAKDOWN;
            break;
        }
        if (control.interrupted(result.iterations, rec.norm_r / norm_b)) {
            stopped = QV_ERROR_INTERRUPTED;
            break;
        }
        if (rec.norm_r <= tol) {
            rec.recompute();  // judge by the true residual
            if (control.converged(result.residual))
                break;
            if (result.residual < claimed_residual) {  // replacement still gains: go on
                claimed_residual = result.residual;
                rec.adopt_true_residual();
            } else if (!rec.restart()) {
                stopped = QV_ERROR_STAGNATED;
                break;
            }
        } else {
            rec.peak = std::fmax(rec.peak, rec.norm_r);
            if (rec.norm_r <
                replacement_drop * rec.peak) {  // replace the updated residual by the true one
                rec.recompute();
                rec.adopt_true_residual();
            }
        }
    }
    krylov_finish(a, b, x, control, norm_b, r, rec.r_is_true, stopped, result);
    return result;
}

}  // namespace brisvel
