// Restarted GMRES, right preconditioned, with modified Gram-Schmidt and Givens rotations.
#include "iterative.h"
#include "vector_ops.h"

#include <algorithm>
#include <cmath>

namespace brisvel {

SolveResult gmres(const CsrMatrix &a, const Preconditioner &m, const Vector &b, Vector &x,
                  const SolveControl &control) {
    const std::size_t n = b.size();
    const int restart = std::max(1, std::min<int>(control.restart, static_cast<int>(n)));
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
    Vector r(n), w(n), z(n);
    result.residual = true_residual(a, b, x, norm_b, r);
    const double tol = control.threshold * norm_b;  // target for ||r||
    std::vector<Vector> basis(static_cast<std::size_t>(restart) + 1, Vector(n));
    std::vector<Vector> h(static_cast<std::size_t>(restart), Vector(restart + 1));  // columns of H
    Vector cs(restart), sn(restart), g(restart + 1), coef(restart);
    SolveStatus stopped = SolveStatus::NotConverged;

    while (result.residual > control.threshold && result.iterations < control.max_iterations) {
        const double beta = result.residual * norm_b;  // ||r||
        for (std::size_t i = 0; i < n; ++i)
            basis[0][i] = r[i] / beta;                    // v_0 = r / ||r||
        std::fill(g.begin(), g.end(), 0.0);
        g[0] = beta;                                      // g = ||r|| e_1
        int k = 0;                                        // columns built in this cycle
        while (k < restart && result.iterations < control.max_iterations) {
            ++result.iterations;
            m.apply(basis[k].data(), z.data());           // z = M^-1 v_k
            spmv(a, z.data(), w.data());                  // w = A M^-1 v_k
            Vector &hk = h[k];
            for (int i = 0; i <= k; ++i) {
                hk[i] = dot(n, w.data(), basis[i].data());  // h_ik = (w, v_i)
                axpy(n, -hk[i], basis[i].data(), w.data()); // w -= h_ik v_i
            }
            hk[k + 1] = norm2(n, w.data());               // h_k+1,k = ||w||
            if (!std::isfinite(hk[k + 1])) {
                result.status = SolveStatus::NotFinite;
                return result;
            }
            if (hk[k + 1] > 0.0)
                for (std::size_t i = 0; i < n; ++i)
                    basis[k + 1][i] = w[i] / hk[k + 1];   // v_k+1 = w / ||w||
            for (int i = 0; i < k; ++i) {                 // apply the earlier rotations
                const double t = cs[i] * hk[i] + sn[i] * hk[i + 1];
                hk[i + 1] = -sn[i] * hk[i] + cs[i] * hk[i + 1];
                hk[i] = t;
            }
            const double rr = std::hypot(hk[k], hk[k + 1]);  // a rotation zeroes h_k+1,k
            cs[k] = rr > 0.0 ? hk[k] / rr : 1.0;
            sn[k] = rr > 0.0 ? hk[k + 1] / rr : 0.0;
            hk[k] = rr;
            hk[k + 1] = 0.0;
            g[k + 1] = -sn[k] * g[k];
            g[k] = cs[k] * g[k];
            ++k;
            if (std::fabs(g[k]) <= tol || rr == 0.0)
                break;  // converged in the least-squares sense, or the space is exhausted
        }
        int used = k;                                     // solve H y = g by back substitution
        while (used > 0 && h[used - 1][used - 1] == 0.0)
            --used;                                       // drop a singular trailing column
        for (int i = used - 1; i >= 0; --i) {
            double sum = g[i];
            for (int j = i + 1; j < used; ++j)
                sum -= h[j][i] * coef[j];
            coef[i] = sum / h[i][i];
        }
        std::fill(w.begin(), w.end(), 0.0);
        for (int j = 0; j < used; ++j)
            axpy(n, coef[j], basis[j].data(), w.data());  // w = V y
        m.apply(w.data(), z.data());
        for (std::size_t i = 0; i < n; ++i)
            x[i] += z[i];                                 // x += M^-1 V y
        const double previous = result.residual;
        result.residual = true_residual(a, b, x, norm_b, r);
        if (!std::isfinite(result.residual)) {
            result.status = SolveStatus::NotFinite;
            return result;
        }
        if (used < k || !(result.residual < previous)) {  // singular or stagnating
            stopped = used < k ? SolveStatus::Breakdown : SolveStatus::NotConverged;
            break;
        }
    }
    result.status =
        result.residual <= control.threshold ? SolveStatus::Converged : stopped;
    return result;
}

} // namespace brisvel
