// Passes over many vectors at once, for orthogonalising against a Krylov
// basis: every basis vector is read once a pass, however many there are.
#pragma once

#include <cstddef>

namespace brisvel {

// The projections of two vectors on the basis v_0 .. v_count-1 and their own
// products, in one pass: out = [V't, V'w, (t, t), (t, w), (w, w)], 2 count + 3
// numbers.
void project_pair(std::size_t n, const double *const *v, std::size_t count, const double *t,
                  const double *w, double *out);
// t = (t - V a) / rho; then w = (w - V b - beta t) / rho with the new t, and
// z = diag(d) w unless d is null. Returns (w, w) after the update.
double orthogonalise_pair(std::size_t n, const double *const *v, std::size_t count, const double *a,
                          double rho, const double *b, double beta, double *t, double *w,
                          const double *d, double *z);
// s = sum_j c_j v_j over the first count vectors; then x += diag(d) s, or,
// when d is null, w = s.
void combine_basis(std::size_t n, const double *c, const double *const *v, std::size_t count,
                   const double *d, double *x, double *w);

}  // namespace brisvel
