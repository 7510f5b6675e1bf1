// Restarted GMRES, right preconditioned, with modified Gram-Schmidt in fused passes and
// Givens rotations.
#include "kernels/fused_ops.h"
#include "kernels/parallel.h"
#include "kernels/vector_ops.h"
#include "krylov/krylov.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace brisvel {
namespace {

// The least-squares problem of one cycle: the Hessenberg matrix H, reduced to
// upper triangular form by Givens rotations as its columns arrive, and the
// rotated right-hand side g = Q' ||r|| e_1.
struct Hessenberg {
    explicit Hessenberg(std::size_t restart)
        : h(restart, Vector(restart + 1)), cs(restart), sn(restart), g(restart + 1), y(restart) {}

    std::vector<Vector> h;  // columns of H
    Vector cs, sn, g, y;

    void reset(double beta) {
        std::fill(g.begin(), g.end(), 0.0);
        g[0] = beta;  // g = ||r|| e_1
    }
    // Rotates the new column k into the triangle; returns the norm the
    // rotation found for it, 0 when the Krylov space is exhausted.
    double rotate_in(std::size_t k);
    // Solves the triangle's leading block for y; answers how many columns it
    // used, fewer than k when trailing ones are singular.
    std::size_t solve(std::size_t k);
};

double Hessenberg::rotate_in(std::size_t k) {
    Vector &hk = h[k];
    for (std::size_t i = 0; i < k; ++i) {  // apply the earlier rotations
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
    return rr;
}

std::size_t Hessenberg::solve(std::size_t k) {
    std::size_t used = k;  // solve H y = g by back substitution
    while (used > 0 && h[used - 1][used - 1] == 0.0)
        --used;  // drop a singular trailing column
    for (std::size_t i = used; i-- > 0;) {
        double sum = g[i];
        for (std::size_t j = i + 1; j < used; ++j)
            sum -= h[j][i] * y[j];
        y[i] = sum / h[i][i];
    }
    return used;
}

// The basis vectors v_0 .. v_count-1 as pointers, for the multi-vector passes.
std::vector<const double *> basis_pointers(KrylovVectors &basis, std::size_t count) {
    std::vector<const double *> v(count);
    for (std::size_t j = 0; j < count; ++j)
        v[j] = basis[j];
    return v;
}

// Appends to the basis v_0 .. v_k the next vector v_k+1 = A M^-1 v_k,
// orthogonalised against the others, its coefficients going to column k of
// H. z is work space. False when a non-finite number appeared.
bool arnoldi_step(const CsrMatrix &a, const Preconditioner &m, KrylovVectors &basis, std::size_t k,
                  Vector &hk, double *z) {
    const std::size_t n = static_cast<std::size_t>(a.rows);
    m.apply(basis[k], z);                 // z = M^-1 v_k
    double *u = basis[k + 1];             // the new direction, built in place
    hk[0] = spmv_dot(a, z, u, basis[0]);  // u = A z, h_0k = (u, v_0)
    // Modified Gram-Schmidt, each pass taking one projection off u and
    // finding the next coefficient: h_ik = (u - h_i-1,k v_i-1, v_i).
    for (std::size_t i = 1; i <= k + 1; ++i)
        hk[i] = subtract_and_dot(n, hk[i - 1], basis[i - 1], u, i <= k ? basis[i] : u);
    const double uu = hk[k + 1];  // the last pass gave (u, u)
    hk[k + 1] = std::isfinite(uu) && uu > 1e-280 ? std::sqrt(uu) : norm2(n, u);
    if (!std::isfinite(hk[k + 1]))
        return false;
    if (hk[k + 1] > 0.0)
        scaled_copy(n, 1.0 / hk[k + 1], u, u);  // v_k+1 = u / ||u||
    return true;
}

// x += M^-1 V y over the first used basis vectors; w and z are work space.
void update_solution(const Preconditioner &m, KrylovVectors &basis, const Vector &y,
                     std::size_t used, Vector &x, double *w, double *z) {
    const std::vector<const double *> v = basis_pointers(basis, used);
    const double *d = m.inverse_diagonal();
    combine(x.size(), y.data(), v.data(), used, d, x.data(), w);  // x += M^-1 V y, or w = V y
    if (d == nullptr) {
        m.apply(w, z);
        axpy(x.size(), 1.0, z, x.data());  // x += M^-1 w
    }
}

}  // namespace

SolveResult gmres(const CsrMatrix &a, const Preconditioner &m, const Vector &b, Vector &x,
                  const SolveControl &control) {
    const std::size_t n = b.size();
    const std::size_t restart =
        std::max<std::size_t>(1, std::min(static_cast<std::size_t>(control.restart), n));
    KrylovVectors work(restart + 4, n, control.workspace);  // the basis, then r, w and z
    double *r = work[restart + 1], *w = work[restart + 2], *z = work[restart + 3];
    SolveResult result;
    const KrylovStart start = krylov_start(a, b, x, control, r, result);
    if (start.done)
        return result;
    const double norm_b = start.norm_b, tol = start.tol;  // ||b||, and the target for ||r||
    Hessenberg hessenberg(restart);
    int stopped = QV_ERROR_NOT_CONVERGED;
    TeamPacer pace(n);

    while (!control.converged(result.residual) && result.iterations < control.max_iterations) {
        const double beta = result.residual * norm_b;  // ||r||
        scaled_copy(n, 1.0 / beta, r, work[0]);        // v_0 = r / ||r||
        hessenberg.reset(beta);
        std::size_t k = 0;  // columns built in this cycle
        while (k < restart && result.iterations < control.max_iterations) {
            ++result.iterations;
            if (!arnoldi_step(a, m, work, k, hessenberg.h[k], z)) {
                result.code = QV_ERROR_BREAKDOWN;
                return result;
            }
            const double rr = hessenberg.rotate_in(k);
            ++k;
            pace.iteration_done(static_cast<double>(k) +
                                3.0);  // 2 passes over k vectors, A, scaling
            const double estimate = std::fabs(hessenberg.g[k]);
            if (control.interrupted(result.iterations, estimate / norm_b)) {
                stopped = QV_ERROR_INTERRUPTED;
                break;
            }
            if (estimate <= tol || rr == 0.0)
                break;  // converged in the least-squares sense, or the space is exhausted
        }
        const std::size_t used = hessenberg.solve(k);
        update_solution(m, work, hessenberg.y, used, x, w, z);
        const double previous = result.residual;
        result.residual = true_residual(a, b, x, norm_b, r);
        if (!std::isfinite(result.residual) || stopped == QV_ERROR_INTERRUPTED)
            break;
        if (used < k || !(result.residual < previous)) {  // singular or stagnating
            stopped = used < k ? QV_ERROR_BREAKDOWN : QV_ERROR_NOT_CONVERGED;
            break;
        }
    }
    krylov_finish(a, b, x, control, norm_b, r, true, stopped, result);
    return result;
}

}  // namespace brisvel
