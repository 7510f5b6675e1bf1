// Passes over many vectors at once, for orthogonalising against a Krylov
// basis: every basis vector is read once a pass, however many there are.
#pragma once

#include <cstddef>
#include <functional>

namespace brisvel {

// Makes entries [begin, end) of a vector.
using MakeEntries = std::function<void(std::size_t begin, std::size_t end)>;

// The projections of w on the basis v_0 .. v_count-1, and the products of u
// and w, in one pass: out = [V'w, (u, u), (u, w), (w, w)], count + 3 numbers.
// w is made in the same pass, make_w(begin, end) making each part of it just
// before the part is read, by the thread that reads it.
void project(std::size_t n, const double *const *v, std::size_t count, const double *u,
             const double *w, const MakeEntries &make_w, double *out);
// u = u / rho; then w = (w - V b - beta u) / rho with the new u. Returns
// (w, w) after the update.
double orthogonalise(std::size_t n, const double *const *v, std::size_t count, const double *b,
                     double rho, double beta, double *u, double *w);
// orthogonalise, and then project of the next step in the same pass: the
// basis v_0 .. v_count with v_count = u (after its update), the updated w
// and next_w, made by make_next_w; the results as project's, in out (count +
// 4 numbers), and the same bits as the two calls. Each block of next_w is
// made right after the updates of the blocks next to it: make_next_w(begin,
// end) may read w only within one block_size of [begin, end).
double orthogonalise_and_project(std::size_t n, const double *const *v, std::size_t count,
                                 const double *b, double rho, double beta, double *u, double *w,
                                 double *next_w, const MakeEntries &make_next_w, double *out);
// c = V'w, then w = w - V c over the first count vectors, in two passes.
// Returns (w, w) after the update.
double project_out(std::size_t n, const double *const *v, std::size_t count, double *w, double *c);
// s = sum_j c_j v_j over the first count vectors; then x += diag(d) s, or,
// when d is null, w = s.
void combine_basis(std::size_t n, const double *c, const double *const *v, std::size_t count,
                   const double *d, double *x, double *w);

}  // namespace brisvel
