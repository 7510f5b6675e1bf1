// Passes for least squares: one sweep over the rows of A makes both a
// product A x and the transposed product A'y, by scattering a_i y_i into
// partial sums. The rows fall into scatter_parts fixed parts, each with its
// own partial sums, added in order afterwards: the same bits on any team,
// with up to scatter_parts threads sharing a sweep.
#pragma once

#include "kernels/csr.h"

#include <array>
#include <cstddef>

namespace brisvel {

constexpr std::size_t scatter_parts = 2;

// Partial sums of up to two transposed products, zero between sweeps.
class ScatterSums {
  public:
    ScatterSums(std::size_t n, std::size_t targets)
        : n_(n), targets_(targets), storage_(scatter_parts * targets * n, 0.0) {}
    double *part(std::size_t p, std::size_t target) {
        return target < targets_ ? storage_.data() + (p * targets_ + target) * n_ : nullptr;
    }

  private:
    std::size_t n_, targets_;
    Vector storage_;
};

// One sweep over A: y = A x - c y (c = 0: y = A x, whatever y held), and
// A'y into target 0 of t. Returns (y, y).
double product_and_scatter(const CsrMatrix &a, const double *x, double c, double *y,
                           ScatterSums &t);
// One sweep over A, for CGLS: r -= alpha q with the old q, then q = A p; A'q
// into target 0 and A'r into target 1 of t. Returns (q, q).
double cgls_sweep(const CsrMatrix &a, const double *p, double alpha, double *q, double *r,
                  ScatterSums &t);
// v = diag(d) (s A'y) - c v, A'y from target 0 of t (d null: the identity);
// t is left zero. Returns (v, v).
double gather_minus_scaled(std::size_t n, ScatterSums &t, double s, const double *d, double c,
                           double *v);
// g = A'r - alpha A'q from targets 1 and 0 of t; z = diag(d)^2 g when d is
// given; t is left zero. Returns {(g, g), (g, z)}, the second 0 when d is null.
std::array<double, 2> gather_gradient(std::size_t n, ScatterSums &t, double alpha, const double *d,
                                      double *g, double *z);
// g = A'y, for y of A's row count.
void transposed_product(const CsrMatrix &a, const double *y, double *g);
// r = b - A x and g = A'r, in one sweep. Returns ||W g||, W = diag(2^-lift_j)
// (lift null: W = I).
double normal_gradient(const CsrMatrix &a, const double *b, const double *x, const int *lift,
                       double *r, double *g);
// x += alpha p; p = z + beta p.
void step_and_direction(std::size_t n, double alpha, double beta, const double *z, double *x,
                        double *p);
// LSMR's updates of x and its two search directions, h and hbar (stored as
// N h and N hbar): v *= s and w = diag(d) v unless d is null (v and w given);
// then hbar = h - c1 hbar; x += c2 hbar; h = w - c3 h.
void lsmr_directions(std::size_t n, const double *d, double *v, double s, double *w, double c1,
                     double c2, double c3, double *h, double *hbar, double *x);

}  // namespace brisvel
