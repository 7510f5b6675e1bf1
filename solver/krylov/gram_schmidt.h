// Classical Gram-Schmidt with reorthogonalisation when needed, for GMRES's basis.
#pragma once

#include <cstddef>

namespace brisvel {

// Takes off u its components along the orthonormal v_0 .. v_count-1:
// h = V'u, u -= V h, each in one pass over the vectors. When that leaves
// ||u|| below ||u_before|| / sqrt(2), cancellation has cost u digits, and a
// second pass (h += V'u, u -= V h') restores orthogonality: twice is enough.
// reorthogonalise = false gives plain classical Gram-Schmidt. h needs
// count + 1 entries; returns ||u|| after, NaN when a number was not finite.
double orthogonalise(std::size_t n, const double *const *v, std::size_t count, double *u, double *h,
                     bool reorthogonalise = true);

}  // namespace brisvel
