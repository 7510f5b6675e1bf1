// Preconditioned BiCGStab, restarted from the true residual when it breaks down or drifts.
#include "iterative.h"
#include "vector_ops.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace brisvel {

SolveResult bicgstab(const CsrMatrix &a, const Preconditioner &m, const Vector &b, Vector &x,
                     const SolveControl &control) {
    const std::size_t n = b.size();
    const double eps = std::numeric_limits<double>::epsilon();
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
    Vector r(n), r0(n), p(n), v(n), y(n), s(n), z(n), t(n);
    result.residual = true_residual(a, b, x, norm_b, r);
    if (result.residual <= control.threshold) {  // the initial guess is good enough
        result.status = SolveStatus::Converged;
        return result;
    }
    const double tol = control.threshold * norm_b;  // target for ||r||
    double rho = 1.0, alpha = 1.0, omega = 1.0, r0_sq = 0.0;
    double start_residual = std::numeric_limits<double>::infinity();

    // Starts the recurrences afresh from the true residual r = b - Ax: after a
    // breakdown, or when the updated residual has drifted from the true one.
    // Refuses when the true residual has not improved since the last start.
    auto restart = [&]() {
        result.residual = true_residual(a, b, x, norm_b, r);
        if (!(result.residual < start_residual))
            return false;
        start_residual = result.residual;
        r0 = r;                                  // shadow residual r0 = r
        r0_sq = dot(n, r0.data(), r0.data());
        rho = alpha = omega = 1.0;
        std::fill(p.begin(), p.end(), 0.0);
        std::fill(v.begin(), v.end(), 0.0);
        return true;
    };
    // Judges an iterate whose updated residual looks converged.
    auto converged = [&]() {
        result.residual = true_residual(a, b, x, norm_b, r);
        return result.residual <= control.threshold;
    };
    restart();
    SolveStatus stopped = SolveStatus::NotConverged;  // how the loop ends unless it converges

    while (result.iterations < control.max_iterations) {
        ++result.iterations;
        const double rho_old = rho;
        rho = dot(n, r0.data(), r.data());  // rho = (r0, r)
        double beta = (rho / rho_old) * (alpha / omega);
        if (std::fabs(rho) <= eps * eps * r0_sq) {  // r has become orthogonal to r0
            if (!restart()) {
                stopped = SolveStatus::Breakdown;
                break;
            }
            rho = r0_sq;
            beta = 0.0;
        }
        for (std::size_t i = 0; i < n; ++i)
            p[i] = r[i] + beta * (p[i] - omega * v[i]);  // p = r + beta (p - omega v)
        m.apply(p.data(), y.data());                      // y = M^-1 p
        spmv(a, y.data(), v.data());                      // v = A y
        const double r0v = dot(n, r0.data(), v.data());
        alpha = rho / r0v;                                // alpha = rho / (r0, A y)
        if (!std::isfinite(alpha) || !std::isfinite(beta)) {
            if (!restart()) {
                stopped = SolveStatus::Breakdown;
                break;
            }
            continue;
        }
        for (std::size_t i = 0; i < n; ++i)
            s[i] = r[i] - alpha * v[i];                   // s = r - alpha v
        if (norm2(n, s.data()) <= tol) {                  // the half step is enough
            axpy(n, alpha, y.data(), x.data());           // x += alpha y
            if (converged() || !restart())
                break;
            continue;
        }
        m.apply(s.data(), z.data());                      // z = M^-1 s
        spmv(a, z.data(), t.data());                      // t = A z
        const double tt = dot(n, t.data(), t.data());
        const double ts = dot(n, t.data(), s.data());
        if (!(std::fabs(ts) > eps * std::sqrt(tt) * norm2(n, s.data()))) {  // omega would vanish
            axpy(n, alpha, y.data(), x.data());           // keep the half step's progress
            if (!restart()) {
                stopped = SolveStatus::Breakdown;
                break;
            }
            continue;
        }
        omega = ts / tt;                                  // omega minimises ||s - omega t||
        for (std::size_t i = 0; i < n; ++i) {
            x[i] += alpha * y[i] + omega * z[i];          // update the iterate
            r[i] = s[i] - omega * t[i];                   // r = s - omega t
        }
        const double norm_r = norm2(n, r.data());
        if (!std::isfinite(norm_r)) {
            result.status = SolveStatus::NotFinite;
            return result;
        }
        if (norm_r <= tol && (converged() || !restart()))
            break;
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
