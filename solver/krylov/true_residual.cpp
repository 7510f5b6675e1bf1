// The true residual, from which every method judges convergence, and the
// prologue and epilogue the methods share.
#include "kernels/symmetric.h"
#include "kernels/vector_ops.h"
#include "krylov/krylov.h"

#include <algorithm>
#include <cmath>

namespace brisvel {
namespace {

// Each for a matrix in compressed rows or a symmetric one stored as its upper
// triangle; both give residual(a, b, x, r).
template <class Matrix>
double true_residual_of(const Matrix &a, const Vector &b, const Vector &x, double norm_b,
                        double *r) {
    const double bound = residual(a, b.data(), x.data(), r);  // r = b - A x
    // No smaller than the rounding error of r allows us to verify.
    return max_or_nan(norm2(b.size(), r), bound) / norm_b;
}

template <class Matrix>
KrylovStart krylov_start_of(const Matrix &a, const Vector &b, Vector &x,
                            const SolveControl &control, double *r, SolveResult &result) {
    result = SolveResult{};
    const double norm_b = norm2(b.size(), b.data());
    const KrylovStart start{true, norm_b, control.threshold * norm_b};
    if (!std::isfinite(norm_b)) {
        result.code = QV_ERROR_BREAKDOWN;
        return start;
    }
    if (norm_b == 0.0) {  // b = 0: x = 0 is exact
        std::fill(x.begin(), x.end(), 0.0);
        result.code = QV_OK;
        return start;
    }
    result.residual = true_residual_of(a, b, x, norm_b, r);
    if (control.converged(result.residual)) {  // the initial guess is good enough
        result.code = QV_OK;
        return start;
    }
    return KrylovStart{false, norm_b, start.tol};
}

template <class Matrix>
void krylov_finish_of(const Matrix &a, const Vector &b, const Vector &x,
                      const SolveControl &control, double norm_b, double *r, bool r_is_true,
                      int stopped, SolveResult &result) {
    if (!r_is_true)
        result.residual = true_residual_of(a, b, x, norm_b, r);
    if (!std::isfinite(result.residual))
        result.code = QV_ERROR_BREAKDOWN;
    else if (control.converged(result.residual))
        result.code = QV_OK;
    else
        result.code = stopped;
}

}  // namespace

double true_residual(const CsrMatrix &a, const Vector &b, const Vector &x, double norm_b,
                     double *r) {
    return true_residual_of(a, b, x, norm_b, r);
}

double true_residual(const SymmetricCsr &a, const Vector &b, const Vector &x, double norm_b,
                     double *r) {
    return true_residual_of(a, b, x, norm_b, r);
}

KrylovStart krylov_start(const CsrMatrix &a, const Vector &b, Vector &x,
                         const SolveControl &control, double *r, SolveResult &result) {
    return krylov_start_of(a, b, x, control, r, result);
}

KrylovStart krylov_start(const SymmetricCsr &a, const Vector &b, Vector &x,
                         const SolveControl &control, double *r, SolveResult &result) {
    return krylov_start_of(a, b, x, control, r, result);
}

void krylov_finish(const CsrMatrix &a, const Vector &b, const Vector &x,
                   const SolveControl &control, double norm_b, double *r, bool r_is_true,
                   int stopped, SolveResult &result) {
    krylov_finish_of(a, b, x, control, norm_b, r, r_is_true, stopped, result);
}

void krylov_finish(const SymmetricCsr &a, const Vector &b, const Vector &x,
                   const SolveControl &control, double norm_b, double *r, bool r_is_true,
                   int stopped, SolveResult &result) {
    krylov_finish_of(a, b, x, control, norm_b, r, r_is_true, stopped, result);
}

}  // namespace brisvel
