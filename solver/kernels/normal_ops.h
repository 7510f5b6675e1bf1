// Passes for least squares over A and its stored transpose A'. Row j of A'
// is column j of A, so every entry of A'u is one row sum made by one thread,
// and the products are the same to the bit on any team.
#pragma once

#include "kernels/csr.h"

#include <array>
#include <cstddef>

namespace brisvel {

// y = A x - c y (c = 0: y = A x, whatever y held). Returns (y, y).
double product_minus_scaled(const CsrMatrix &a, const double *x, double c, double *y);
// v = diag(d) (s A'u) - c v, over the rows of at = A'; d null stands for
// the identity. Returns (v, v).
double transposed_minus_scaled(const CsrMatrix &at, const double *u, double s, const double *d,
                               double c, double *v);
// g = A'r; z = diag(d)^2 g when d is given. Returns {(g, g), (g, z)}, the
// second 0 when d is null.
std::array<double, 2> transposed_product(const CsrMatrix &at, const double *r, const double *d,
                                         double *g, double *z);
// r = b - A x, then g = A'r (two sweeps: every entry of A'r needs all of r).
// Returns ||W g||, W = diag(2^lift_j) (lift null: W = I).
double normal_gradient(const CsrMatrix &a, const CsrMatrix &at, const double *b, const double *x,
                       const int *lift, double *r, double *g);
// x += alpha p; p = z + beta p.
void step_and_direction(std::size_t n, double alpha, double beta, const double *z, double *x,
                        double *p);
// LSMR's updates of x and its two search directions, h and hbar (stored as
// N h and N hbar): v *= s and w = diag(d) v unless d is null (v and w given); then
// hbar = h - c1 hbar; x += c2 hbar; h = w - c3 h.
void lsmr_directions(std::size_t n, const double *d, double *v, double s, double *w, double c1,
                     double c2, double c3, double *h, double *hbar, double *x);

}  // namespace brisvel
