// Dense vector kernels: dot products, norms and fused updates.
#include "vector_ops.h"

#include <cmath>

namespace brisvel {

double dot(std::size_t n, const double *x, const double *y) {
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i)
        sum += x[i] * y[i];
    return sum;
}

double norm2(std::size_t n, const double *x) {
    const double sum_sq = dot(n, x, x);
    if (std::isfinite(sum_sq) && sum_sq > 1e-280)
        return std::sqrt(sum_sq);
    // Rescaled, so that huge or tiny entries neither overflow nor underflow.
    double scale = 0.0;
    for (std::size_t i = 0; i < n; ++i)
        scale = std::fmax(scale, std::fabs(x[i]));
    if (scale == 0.0 || !std::isfinite(scale))
        return scale;
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double t = x[i] / scale;
        sum += t * t;
    }
    return scale * std::sqrt(sum);
}

void axpy(std::size_t n, double a, const double *x, double *y) {
    for (std::size_t i = 0; i < n; ++i)
        y[i] += a * x[i];
}

void xpby(std::size_t n, const double *x, double b, double *y) {
    for (std::size_t i = 0; i < n; ++i)
        y[i] = x[i] + b * y[i];
}

bool all_finite(std::size_t n, const double *x) {
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i)
        sum += x[i] * 0.0;  // stays 0 unless some entry is NaN or infinite
    return sum == 0.0;
}

} // namespace brisvel
