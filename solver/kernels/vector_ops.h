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

}  // namespace brisvel
