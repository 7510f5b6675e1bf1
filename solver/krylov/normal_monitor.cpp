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
    const std::size_t n = static_cast<std::size_t>(a.cols);
    double norm_g = 0.0;
    if (atb != nullptr && std::all_of(x, x + n, [](double v) { return v == 0.0; })) {
        std::copy(b.begin(), b.end(), r);  // x = 0: r = b and A'r = A'b, known
        for (std::size_t j = 0; j < n; ++j)
            g[j] = lift != nullptr ? std::ldexp((*atb)[j], -lift[j]) : (*atb)[j];  // W A'b
        norm_g = norm2(n, g);
    } else {
        norm_g = normal_gradient(a, split, b.data(), x, lift, r, g, *sums);
    }
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

void NormalMonitor::start_gradient(double *g) const {
    const std::size_t n = static_cast<std::size_t>(s_.a.cols);
    if (s_.lift == nullptr)
        std::copy(g_, g_ + n, g);  // the very sum a product would make again
    else
        transposed_product(s_.a, s_.split, r_, g, *s_.sums);
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
