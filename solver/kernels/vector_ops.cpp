// Dense vector kernels: dot products, norms and updates, shared among the threads.
#include "kernels/vector_ops.h"

#include "kernels/parallel.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace brisvel {

double dot(std::size_t n, const double *x, const double *y) {
    return parallel_sum<1>(n, [=](std::size_t begin, std::size_t end, std::array<double, 1> &s) {
        lane_sum<1>(begin, end, s, [=](std::size_t i, double *acc) { acc[0] += x[i] * y[i]; });
    })[0];
}

double norm2(std::size_t n, const double *x) {
    const double sum_sq = dot(n, x, x);
    if (std::isfinite(sum_sq) && sum_sq > 1e-280)
        return std::sqrt(sum_sq);
    if (std::isnan(sum_sq))
        return sum_sq;  // a NaN entry: the norm is NaN, never a small number
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
    parallel_for(n, [=](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i)
            y[i] += a * x[i];
    });
}

void xpby(std::size_t n, const double *x, double b, double *y) {
    parallel_for(n, [=](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i)
            y[i] = x[i] + b * y[i];
    });
}

int far_exponent(std::size_t n, const double *x) {
    double largest = 0.0;
    for (std::size_t i = 0; i < n; ++i)
        largest = std::max(largest, std::fabs(x[i]));
    int e = 0;
    std::frexp(largest, &e);
    return std::abs(e) > 100 ? e : 0;
}

bool all_finite(std::size_t n, const double *x) {
    const double sum =
        parallel_sum<1>(n, [=](std::size_t begin, std::size_t end, std::array<double, 1> &s) {
            lane_sum<1>(begin, end, s, [=](std::size_t i, double *acc) { acc[0] += x[i] * 0.0; });
        })[0];
    return sum == 0.0;  // stays 0 unless some entry is NaN or infinite
}

}  // namespace brisvel
