// The true residual, from which every method judges convergence, and the
// prologue and epilogue the methods share.
#include "kernels/extended_residual.h"
#include "kernels/symmetric.h"
#include "kernels/vector_ops.h"
#include "krylov/krylov.h"

#include <algorithm>
#include <cmath>

namespace brisvel {
namespace {

// A residual made in double precision is taken as it is when its rounding
// bound is at most this fraction of it: r is then accurate enough to go on
// from, and its norm to judge by.
constexpr double accurate_fraction = 1e-2;

// Each for a matrix in compressed rows or a symmetric one stored as its upper
// triangle; both give residual(a, b, x, r) and residual_extended.
template <class Matrix>
double true_residual_of(const Matrix &a, const Vector &b, const Vector &x, double norm_b,
                        double threshold, double *r) {
    const std::size_t n = b.size();
    const double tol = threshold * norm_b;              // the target for ||r||
    double bound = residual(a, b.data(), x.data(), r);  // r = b - A x
    double norm_r = norm2(n, r);
    const bool met = norm_r + bound <= tol;  // proven to meet the target
    const bool missed = norm_r - bound > tol && bound <= accurate_fraction * norm_r;
    if (!met && !missed && !std::isnan(bound)) {  // rounding may hide the truth: look closer
        bound = residual_extended(a, b.data(), x.data(), r);
        norm_r = norm2(n, r);
    }
    // No smaller than the rounding error of r allows us to verify.
    return max_or_nan(norm_r, bound) / norm_b;
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
    result.residual = true_residual_of(a, b, x, norm_b, control.threshold, r);
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
        result.residual = true_residual_of(a, b, x, norm_b, control.threshold, r);
    if (!std::isfinite(result.residual))
        result.code = QV_ERROR_BREAKDOWN;
    else if (control.converged(result.residual))
        result.code = QV_OK;
    else
        result.code = stopped;
}

}  // namespace

double true_residual(const CsrMatrix &a, const Vector &b, const Vector &x, double norm_b,
                     double threshold, double *r) {
    return true_residual_of(a, b, x, norm_b, threshold, r);
}

double true_residual(const SymmetricCsr &a, const Vector &b, const Vector &x, double norm_b,
                     double threshold, double *r) {
    return true_residual_of(a, b, x, norm_b, threshold, r);
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
