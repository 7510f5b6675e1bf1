// Passes for least squares: sweeps over the rows of A that make a product
// A x and the transposed product A'y, by scattering a_i y_i into partial
// sums. The rows fall into scatter_parts fixed parts, each with its own
// partial sums, added in order afterwards: the same bits on any team, with
// up to scatter_parts threads sharing a sweep.
#pragma once

#include "kernels/csr.h"

#include <array>
#include <cstddef>

namespace brisvel {

constexpr std::size_t scatter_parts = 2;

// Partial sums of one transposed product, zero between sweeps: a solve
// makes one and hands it to every sweep.
class ScatterSums {
  public:
    ScatterSums() = default;
    explicit ScatterSums(std::size_t n) : n_(n), storage_(scatter_parts * n, 0.0) {}
    double *part(std::size_t p) { return storage_.data() + p * n_; }
    // True when it holds the sums of n entries.
    bool fits(std::size_t n) const { return n_ == n && !storage_.empty(); }

  private:
    std::size_t n_ = 0;
    Vector storage_;
};

// True when a sweep over A should take each part in two passes, first the
// products of its rows and then their scatters, with the scattered entries
// asked for ahead: when A's rows reach across columns too many to stay in
// the caches. Otherwise one pass makes both, row by row (bench/README.md
// has the measurements).
bool split_sweeps(const CsrMatrix &a);

// A sweep over A: y = A x - c y (c = 0: y = A x, whatever y held), and A'y
// into t. Returns (y, y).
double product_and_scatter(const CsrMatrix &a, bool split, const double *x, double c, double *y,
                           ScatterSums &t);
// A pass over A for CGLS: q = A p. Returns (q, q).
double product_norm(const CsrMatrix &a, bool split, const double *p, double *q);
// A pass over A for CGLS: r -= alpha q, and A'r into t.
void step_and_scatter(const CsrMatrix &a, bool split, double alpha, const double *q, double *r,
                      ScatterSums &t);
// v = diag(d) (s A'y) - c v, A'y from t (d null: the identity);
// t is left zero. Returns (v, v).
double gather_minus_scaled(std::size_t n, ScatterSums &t, double s, const double *d, double c,
                           double *v);
// g = A'r from t; z = diag(d)^2 g when d is given; t is left zero. Returns
// {(g, g), (g, z)}, the second 0 when d is null.
std::array<double, 2> gather_gradient(std::size_t n, ScatterSums &t, const double *d, double *g,
                                      double *z);
// g = A'y, for y of A's row count, summed in t.
void transposed_product(const CsrMatrix &a, bool split, const double *y, double *g, ScatterSums &t);
// r = b - A x and g = A'r, in one sweep, summed in t. Returns ||W g||,
// W = diag(2^-lift_j) (lift null: W = I).
double normal_gradient(const CsrMatrix &a, bool split, const double *b, const double *x,
                       const int *lift, double *r, double *g, ScatterSums &t);
// x += alpha p; p = z + beta p.
void step_and_direction(std::size_t n, double alpha, double beta, const double *z, double *x,
                        double *p);
// LSMR's updates of x and its two search directions, h and hbar (stored as
// N h and N hbar): v *= s and w = diag(d) v unless d is null (v and w given);
// then hbar = h - c1 hbar; x += c2 hbar; h = w - c3 h.
void lsmr_directions(std::size_t n, const double *d, double *v, double s, double *w, double c1,
                     double c2, double c3, double *h, double *hbar, double *x);

}  // namespace brisvel
