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
// The exponent e with 2^(e-1) <= max_i |x_i| < 2^e when that lies beyond
// 2^+-100, else 0: the power of two that brings x near unit scale where
// squaring its entries would come near overflow or underflow, and none where
// it would not.
int far_exponent(std::size_t n, const double *x);
// The larger of a and b, and NaN when either is: unlike std::fmax, a NaN is
// never dropped, so it can never pass for a small norm.
inline double max_or_nan(double a, double b) { return a != a || a > b ? a : b; }

}  // namespace brisvel
