// The iterative methods. Each solves A x = b for a square A, preconditioned by
// M, with x as both the initial guess and the result, and reports how it ended.
#pragma once

#include "kernels/csr.h"
#include "precond/preconditioner.h"

#include <brisvel/brisvel.h>

namespace brisvel {

enum class SolveStatus {
    Converged,     // true relative residual at or below the threshold
    NotConverged,  // iteration limit reached, or no further progress possible
    Breakdown,     // a recurrence divided by (nearly) zero, or CG met p'Ap <= 0
    NotFinite,     // NaN or infinity appeared
    Interrupted,   // the progress callback asked to stop
};

struct SolveControl {
    int max_iterations = 1000;
    double threshold = 1e-10;  // on ||b - Ax|| / ||b||
    int restart = 30;          // GMRES only

    QVprogress progress = nullptr;  // told of each iteration; may stop the solve
    void *progress_data = nullptr;

    // Reports an iteration and the method's running estimate of the relative
    // residual; true when the callback asks to stop.
    bool interrupted(int iteration, double estimate) const {
        return progress != nullptr && progress(iteration, estimate, progress_data) != 0;
    }
};

struct SolveResult {
    SolveStatus status = SolveStatus::NotConverged;
    int iterations = 0;
    double residual = 0.0;  // true relative residual ||b - Ax|| / ||b|| of the returned x
};

SolveResult bicgstab(const CsrMatrix &a, const Preconditioner &m, const Vector &b, Vector &x,
                     const SolveControl &control);
SolveResult gmres(const CsrMatrix &a, const Preconditioner &m, const Vector &b, Vector &x,
                  const SolveControl &control);
SolveResult conjugate_gradient(const CsrMatrix &a, const Preconditioner &m, const Vector &b,
                               Vector &x, const SolveControl &control);

// r = b - A x and its norm relative to ||b|| (norm_b > 0), never below the
// rounding error of computing r.
double true_residual(const CsrMatrix &a, const Vector &b, const Vector &x, double norm_b,
                     double *r);

// A method's work vectors, count of them with n entries each, in one
// allocation, so that a large solve gets them all on huge pages at once.
class Workspace {
  public:
    Workspace(std::size_t count, std::size_t n) : n_(n), storage_(count * n) {}
    double *operator[](std::size_t k) { return storage_.data() + k * n_; }

  private:
    std::size_t n_;
    Vector storage_;
};

}  // namespace brisvel
