// The Krylov methods. Each solves A x = b for a square A, preconditioned by
// M, with x as both the initial guess and the result, and reports how it ended.
#pragma once

#include "kernels/csr.h"
#include "kernels/symmetric.h"
#include "kernels/workspace.h"
#include "precond/preconditioner.h"

#include <brisvel/brisvel.h>

namespace brisvel {

// How a solve ended, from every solve path: iterative, direct or the whole
// system's. code is QV_OK or the QV_ERROR_* code telling why it failed.
struct SolveResult {
    int code = QV_ERROR_NOT_CONVERGED;
    int iterations = 0;
    double residual = 0.0;       // true relative residual ||b - Ax|| / ||b|| of the returned x
    double setup_seconds = 0.0;  // building the preconditioner or the factorisation
    HierarchyShape hierarchy{};  // the multigrid preconditioner's, when it is one
};

// The one convergence test: a relative residual meets the threshold. NaN
// never does.
inline bool meets_threshold(double relative_residual, double threshold) {
    return relative_residual <= threshold;
}

// When a method's recurrence says the threshold is met but the true
// residual does not, it starts again from the true residual. That pays only
// while the true residual falls to this fraction of its value at the last
// start; once it does not, rounding sets the residual's floor (at worst that
// of the exact solution rounded to double), and the method has stagnated.
constexpr double restart_gain = 0.9;

// True when a restart from relative_residual pays after the last one from
// last_start (infinity before the first).
inline bool restart_pays(double relative_residual, double last_start) {
    return relative_residual < restart_gain * last_start;
}

struct SolveControl {
    int max_iterations = 1000;
    double threshold = 1e-10;  // on ||b - Ax|| / ||b||
    int restart = 30;          // GMRES only

    QVprogress progress = nullptr;  // told of each iteration; may stop the solve
    void *progress_data = nullptr;
    Workspace *workspace = nullptr;  // the context's, for the work vectors; null: their own

    bool converged(double relative_residual) const {
        return meets_threshold(relative_residual, threshold);
    }
    // Reports an iteration and the method's running estimate of the relative
    // residual; true when the callback asks to stop.
    bool interrupted(int iteration, double estimate) const {
        return progress != nullptr && progress(iteration, estimate, progress_data) != 0;
    }
};

// Every Krylov method has this shape.
using KrylovMethod = SolveResult (*)(const CsrMatrix &a, const Preconditioner &m, const Vector &b,
                                     Vector &x, const SolveControl &control);

SolveResult bicgstab(const CsrMatrix &a, const Preconditioner &m, const Vector &b, Vector &x,
                     const SolveControl &control);
SolveResult gmres(const CsrMatrix &a, const Preconditioner &m, const Vector &b, Vector &x,
                  const SolveControl &control);
SolveResult conjugate_gradient(const CsrMatrix &a, const Preconditioner &m, const Vector &b,
                               Vector &x, const SolveControl &control);
// CG on a symmetric matrix stored as its upper triangle: the bits of CG on
// the whole matrix.
SolveResult conjugate_gradient(const SymmetricCsr &a, const Preconditioner &m, const Vector &b,
                               Vector &x, const SolveControl &control);
using SymmetricKrylovMethod = SolveResult (*)(const SymmetricCsr &a, const Preconditioner &m,
                                              const Vector &b, Vector &x,
                                              const SolveControl &control);

// r = b - A x and its norm relative to ||b|| (norm_b > 0), never below the
// rounding error of computing r. Made in double precision, and again in
// extended precision when the rounding bound of the first is too large to
// tell whether the norm meets threshold, or to leave r accurate to 1% of
// itself: a method then neither stops at nor restarts from a residual
// that rounding has swamped, and decides as the verdict will.
double true_residual(const CsrMatrix &a, const Vector &b, const Vector &x, double norm_b,
                     double threshold, double *r);
double true_residual(const SymmetricCsr &a, const Vector &b, const Vector &x, double norm_b,
                     double threshold, double *r);

// What the prologue every method shares found.
struct KrylovStart {
    bool done;      // result is final: there is nothing to iterate
    double norm_b;  // ||b||
    double tol;     // the target for ||r||: threshold ||b||
};

// The prologue every method shares. Done, with result final, when b is not
// finite (a breakdown), when b = 0 (x = 0 is exact), or when the initial
// guess already meets the threshold. Otherwise r holds b - Ax and
// result.residual its relative norm.
KrylovStart krylov_start(const CsrMatrix &a, const Vector &b, Vector &x,
                         const SolveControl &control, double *r, SolveResult &result);
KrylovStart krylov_start(const SymmetricCsr &a, const Vector &b, Vector &x,
                         const SolveControl &control, double *r, SolveResult &result);

// The epilogue every method shares: the verdict on x. Recomputes the true
// residual into r unless r already holds it; then the code is QV_OK when it
// meets the threshold, a breakdown when it is not finite, and otherwise
// stopped, the reason the iterations ended.
void krylov_finish(const CsrMatrix &a, const Vector &b, const Vector &x,
                   const SolveControl &control, double norm_b, double *r, bool r_is_true,
                   int stopped, SolveResult &result);
void krylov_finish(const SymmetricCsr &a, const Vector &b, const Vector &x,
                   const SolveControl &control, double norm_b, double *r, bool r_is_true,
                   int stopped, SolveResult &result);

// A method's work vectors, count of them with n entries each, in one
// allocation, so that a large solve gets them all on huge pages at once:
// the context's workspace when the control names one, else their own.
class KrylovVectors {
  public:
    KrylovVectors(std::size_t count, std::size_t n, Workspace *workspace)
        : n_(n), storage_(workspace != nullptr ? VectorBlock() : VectorBlock(count, n)),
          data_(workspace != nullptr ? workspace->vectors(count, n) : storage_.data()) {}
    double *operator[](std::size_t k) { return data_ + k * n_; }

  private:
    std::size_t n_;
    VectorBlock storage_;
    double *data_;
};

}  // namespace brisvel
