// Fused vector passes: several updates and their sums in one sweep over the
// vectors, named for what they compute. d, where taken, is the diagonal of a
// diagonal preconditioner M^-1 = diag(d), folded into the pass; null skips it.
#pragma once

#include <array>
#include <cstddef>

namespace brisvel {

// p = r + beta (p - omega v); y = diag(d) p.
void update_direction(std::size_t n, const double *r, double beta, double omega, const double *v,
                      double *p, const double *d, double *y);
// r -= alpha v; z = diag(d) r. Returns (r, r).
double subtract_scaled(std::size_t n, double alpha, const double *v, double *r, const double *d,
                       double *z);
// x += alpha y + omega z; r -= omega t. Returns {(r, r), (w, r)}.
std::array<double, 2> update_iterate_and_residual(std::size_t n, double alpha, const double *y,
                                                  double omega, const double *z, const double *t,
                                                  const double *w, double *x, double *r);
// x += alpha p; r -= alpha q; z = diag(d) r. Returns {(r, r), (r, z)}, the
// second 0 when d is null. With z null, z is made for (r, z) but not stored.
std::array<double, 2> step_and_scale(std::size_t n, double alpha, const double *p, const double *q,
                                     const double *d, double *x, double *r, double *z);
// p = diag(d) r + beta p, as z = diag(d) r and then p = z + beta p would make
// it, without z.
void scaled_direction(std::size_t n, const double *d, const double *r, double beta, double *p);
// y = a x.
void scaled_copy(std::size_t n, double a, const double *x, double *y);

}  // namespace brisvel
