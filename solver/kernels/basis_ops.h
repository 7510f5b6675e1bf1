// Passes over many vectors at once, for orthogonalising against a Krylov
// basis: every basis vector is read once a pass, however many there are.
#pragma once

#include <cstddef>
#include <functional>

namespace brisvel {

// Makes entries [begin, end) of a vector.
using MakeEntries = std::function<void(std::size_t begin, std::size_t end)>;

// The projections of two vectors on the basis v_0 .. v_count-1 and their own
// products, in one pass: out = [V't, V'w, (t, t), (t, w), (w, w)], 2 count + 3
// numbers. w is made in the same pass, make_w(begin, end) making each part
// of it just before the part is read, by the thread that reads it.
void project_pair(std::size_t n, const double *const *v, std::size_t count, const double *t,
                  const double *w, const MakeEntries &make_w, double *out);
// t = (t - V a) / rho; then w = (w - V b - beta t) / rho with the new t.
// Returns (w, w) after the update.
double orthogonalise_pair(std::size_t n, const double *const *v, std::size_t count, const double *a,
                          double rho, const double *b, double beta, double *t, double *w);
// orthogonalise_pair, and then project_pair of the next step in the same
// pass: the basis v_0 .. v_count with v_count = t (after its update), the
// updated w and next_w, made by make_next_w; the results as project_pair's,
// in out (2 count + 5 numbers), and the same bits as the two calls. Each
// block of next_w is made right after the updates of the blocks next to
// it: make_next_w(begin, end) may read w only within one block_size of
// [begin, end).
double orthogonalise_and_project(std::size_t n, const double *const *v, std::size_t count,
                                 const double *a, double rho, const double *b, double beta,
                                 double *t, double *w, double *next_w,
                                 const MakeEntries &make_next_w, double *out);
// s = sum_j c_j v_j over the first count vectors; then x += diag(d) s, or,
// when d is null, w = s.
void combine_basis(std::size_t n, const double *c, const double *const *v, std::size_t count,
                   const double *d, double *x, double *w);

}  // namespace brisvel
