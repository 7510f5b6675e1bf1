// The least-squares methods, LSMR and CGLS: min ||b - Ax|| by products with
// A and A' alone, A'A never formed.
#pragma once

#include "kernels/normal_ops.h"
#include "krylov/krylov.h"

#include <vector>

namespace brisvel {

// A least-squares problem as its methods see it, with the measure its
// verdict uses: ||W A'(b - Ax)|| / ||W A'b||, W = diag(2^lift_j).
struct NormalSystem {
    const CsrMatrix &a;  // A, m x n
    const Vector &b;     // b, m entries
    const int *lift;     // W's exponents; null for W = I
    double norm_atb;     // ||W A'b||, > 0
    bool split;          // sweeps over A in two passes (split_sweeps)
    const Vector *atb;   // A'b, the gradient at x = 0; null when not known
    ScatterSums *sums;   // the partial sums every sweep of the solve uses

    // The measure for x, with r (m entries) and g (n entries) as room;
    // r = b - Ax and g = W A'r after.
    double measure(const double *x, double *r, double *g) const;
};

using NormalMethod = SolveResult (*)(const NormalSystem &s, const NormalPreconditioner &m,
                                     Vector &x, const SolveControl &control);

SolveResult lsmr(const NormalSystem &s, const NormalPreconditioner &m, Vector &x,
                 const SolveControl &control);
SolveResult cgls(const NormalSystem &s, const NormalPreconditioner &m, Vector &x,
                 const SolveControl &control);

// What the least-squares methods share: the measure at the start (x is
// returned at once, result final, when it already meets the threshold or is
// not finite), the true check of a method's estimate, and the verdict.
class NormalMonitor {
  public:
    NormalMonitor(const NormalSystem &s, const SolveControl &control, double *r, double *g)
        : s_(s), control_(control), r_(r), g_(g) {}
    // Measures x, the initial guess: true, with result final, when nothing
    // is left to iterate. Otherwise r holds b - Ax and g holds A'r.
    bool start(Vector &x, SolveResult &result);
    // g = A'r for the r that start left: the measure's own when W = I,
    // otherwise a product by A'.
    void start_gradient(double *g) const;
    // Ties the estimate to the method's running norm at the start.
    void calibrate(double running) { calibration_ = measured_ / running; }
    // The method's estimate of the measure from its own running norm, scaled
    // so that it equals the measure where that was last computed.
    double estimate(double running) const { return running * calibration_; }
    // Computes the measure at x; true when it meets the threshold, and
    // otherwise recalibrates the estimate to it.
    bool confirmed(const Vector &x, double running);
    // The verdict on x, with stopped the reason the iterations ended: QV_OK
    // when x has just been confirmed.
    void finish(const Vector &x, int stopped, SolveResult &result);

  private:
    const NormalSystem &s_;
    const SolveControl &control_;
    double *r_, *g_;
    double measured_ = 0.0;     // the last measure computed
    double calibration_ = 1.0;  // measure / running norm there
};

}  // namespace brisvel
