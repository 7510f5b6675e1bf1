// Dense vector kernels shared by the iterative solvers.
#pragma once

#include <cstddef>

namespace brisvel {

double dot(std::size_t n, const double *x, const double *y);
double norm2(std::size_t n, const double *x);
// y += a x
void axpy(std::size_t n, double a, const double *x, double *y);
// y = x + b y
void xpby(std::size_t n, const double *x, double b, double *y);
// True when every entry is a finite number.
bool all_finite(std::size_t n, const double *x);
// The larger of a and b, and NaN when either is: unlike std::fmax, a NaN is
// never dropped, so it can never pass for a small norm.
inline double max_or_nan(double a, double b) { return a != a || a > b ? a : b; }

}  // namespace brisvel
