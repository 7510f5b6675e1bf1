// The measure every least-squares answer is judged by, and the start, the
// checks and the verdict LSMR and CGLS share.
#include "kernels/normal_ops.h"
#include "kernels/vector_ops.h"
#include "krylov/least_squares.h"

#include <algorithm>
#include <cmath>

namespace brisvel {

double NormalSystem::measure(const double *x, double *r, double *g) const {
    // ||W A'(b - Ax)|| / ||W A'b||; the absolute ||W A'(b - Ax)|| when A'b = 0
    const double norm_g = normal_gradient(a, split, b.data(), x, lift, r, g);
    return norm_atb > 0.0 ? norm_g / norm_atb : norm_g;
}

bool NormalMonitor::start(Vector &x, SolveResult &result) {
    result = SolveResult{};
    if (s_.norm_atb == 0.0) {  // A'b = 0: x = 0 is a least-squares solution
        std::fill(x.begin(), x.end(), 0.0);
        result.code = QV_OK;
        return true;
    }
    measured_ = s_.measure(x.data(), r_, g_);
    result.residual = measured_;
    if (!std::isfinite(measured_))
        result.code = QV_ERROR_BREAKDOWN;
    else if (control_.converged(measured_))  // the initial guess is good enough
        result.code = QV_OK;
    else
        return false;
    return true;
}

bool NormalMonitor::confirmed(const Vector &x, double running) {
    measured_ = s_.measure(x.data(), r_, g_);
    if (control_.converged(measured_))
        return true;
    if (running > 0.0)
        calibration_ = measured_ / running;  // the estimate was too hopeful by this much
    return false;
}

void NormalMonitor::finish(const Vector &x, int stopped, SolveResult &result) {
    if (stopped != QV_OK)
        measured_ = s_.measure(x.data(), r_, g_);
    result.residual = measured_;
    if (!std::isfinite(measured_))
        result.code = QV_ERROR_BREAKDOWN;
    else if (control_.converged(measured_))
        result.code = QV_OK;
    else
        result.code = stopped == QV_OK ? QV_ERROR_NOT_CONVERGED : stopped;
}

}  // namespace brisvel
