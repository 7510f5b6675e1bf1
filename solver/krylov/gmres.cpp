// Restarted GMRES, right preconditioned, with modified Gram-Schmidt and Givens rotations.
#include "krylov/krylov.h"
#include "kernels/parallel.h"
#include "kernels/vector_ops.h"

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
    Workspace work(static_cast<std::size_t>(restart) + 4, n);  // the basis, then r, w and z
    double *r = work[restart + 1], *w = work[restart + 2], *z = work[restart + 3];
    auto basis = [&work](int k) { return work[static_cast<std::size_t>(k)]; };
    result.residual = true_residual(a, b, x, norm_b, r);
    const double tol = control.threshold * norm_b;  // target for ||r||
    std::vector<Vector> h(static_cast<std::size_t>(restart), Vector(restart + 1));  // columns of H
    Vector cs(restart), sn(restart), g(restart + 1), coef(restart);
    SolveStatus stopped = SolveStatus::NotConverged;
    TeamPacer pace(n);

    while (result.residual > control.threshold && result.iterations < control.max_iterations) {
        const double beta = result.residual * norm_b;  // ||r||
        const double scale = 1.0 / beta;
        parallel_for(n, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i)
                basis(0)[i] = r[i] * scale;  // v_0 = r / ||r||
        });
        std::fill(g.begin(), g.end(), 0.0);
        g[0] = beta;  // g = ||r|| e_1
        int k = 0;    // columns built in this cycle
        while (k < restart && result.iterations < control.max_iterations) {
            ++result.iterations;
            m.apply(basis(k), z);  // z = M^-1 v_k
            Vector &hk = h[k];
            double *u = basis(k + 1);             // the new direction, built in place
            hk[0] = spmv_dot(a, z, u, basis(0));  // u = A z, h_0k = (u, v_0)
            // Modified Gram-Schmidt, each pass taking one projection off u and
            // finding the next coefficient: h_ik = (u - h_i-1,k v_i-1, v_i).
            for (int i = 1; i <= k + 1; ++i) {
                const double h_prev = hk[i - 1];
                const double *v_prev = basis(i - 1);
                const double *v_next = i <= k ? basis(i) : u;
                hk[i] = parallel_sum<1>(
                    n, [&](std::size_t begin, std::size_t end, std::array<double, 1> &sum) {
                        lane_sum<1>(begin, end, sum, [&](std::size_t j, double *acc) {
                            u[j] -= h_prev * v_prev[j];  // u -= h_i-1,k v_i-1
                            acc[0] += u[j] * v_next[j];
                        });
                    })[0];
            }
            const double ww = hk[k + 1];  // the last pass gave (u, u)
            hk[k + 1] = std::isfinite(ww) && ww > 1e-280 ? std::sqrt(ww) : norm2(n, u);
            if (!std::isfinite(hk[k + 1])) {
                result.status = SolveStatus::NotFinite;
                return result;
            }
            if (hk[k + 1] > 0.0) {
                const double scale = 1.0 / hk[k + 1];
                parallel_for(n, [&](std::size_t begin, std::size_t end) {
                    for (std::size_t j = begin; j < end; ++j)
                        u[j] *= scale;  // v_k+1 = u / ||u||
                });
            }
            for (int i = 0; i < k; ++i) {  // apply the earlier rotations
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
            pace.iteration_done(k + 3.0);  // k projections, the product and the scalings
            if (control.interrupted(result.iterations, std::fabs(g[k]) / norm_b)) {
                stopped = SolveStatus::Interrupted;
                break;
            }
            if (std::fabs(g[k]) <= tol || rr == 0.0)
                break;  // converged in the least-squares sense, or the space is exhausted
        }
        int used = k;  // solve H y = g by back substitution
        while (used > 0 && h[used - 1][used - 1] == 0.0)
            --used;  // drop a singular trailing column
        for (int i = used - 1; i >= 0; --i) {
            double sum = g[i];
            for (int j = i + 1; j < used; ++j)
                sum -= h[j][i] * coef[j];
            coef[i] = sum / h[i][i];
        }
        const double *d = m.inverse_diagonal();
        parallel_for(n, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                double sum = 0.0;
                for (int j = 0; j < used; ++j)
                    sum += coef[j] * basis(j)[i];  // (V y)_i
                if (d != nullptr)
                    x[i] += d[i] * sum;  // x += M^-1 V y
                else
                    w[i] = sum;
            }
        });
        if (d == nullptr) {
            m.apply(w, z);
            axpy(n, 1.0, z, x.data());  // x += M^-1 V y
        }
        const double previous = result.residual;
        result.residual = true_residual(a, b, x, norm_b, r);
        if (!std::isfinite(result.residual)) {
            result.status = SolveStatus::NotFinite;
            return result;
        }
        if (stopped == SolveStatus::Interrupted)
            break;
        if (used < k || !(result.residual < previous)) {  // singular or stagnating
            stopped = used < k ? SolveStatus::Breakdown : SolveStatus::NotConverged;
            break;
        }
    }
    result.status = result.residual <= control.threshold ? SolveStatus::Converged : stopped;
    return result;
}

}  // namespace brisvel
