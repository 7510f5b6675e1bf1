// Triangular sweeps shared by SSOR, ILU(0) and IC(0), threaded by level scheduling.
#pragma once

#include "precond/pipeline.h"
#include "precond/preconditioner.h"

#include <cstdint>
#include <vector>

namespace brisvel {

// Rows grouped by level: a row's level is one more than the highest level
// among the rows its sweep reads, so the rows of one level are independent.
struct Levels {
    Array<std::int32_t> rows;        // ascending within each level
    std::vector<std::size_t> start;  // level l is rows[start[l] .. start[l+1])
};

// M^-1 r through two sweeps over a factor F with a full diagonal:
//   forward:  w_i = s_i (c r_i - sum_{j<i} f_ij w_j)
//   backward: z_i = w_i - sum_{j>i} f_ij z_j
// Every preconditioner here is put in this form:
//   SSOR, M = (D + wL) D^-1 (D + wU) / (w (2 - w)): s = w/d, c = 2 - w,
//     f_ij = a_ij below the diagonal and (w/d_i) a_ij above it;
//   ILU(0), M = L U with L unit lower: s = 1/u_ii, c = 1,
//     f_ij = l_ij u_jj below and u_ij / u_ii above.
// IC(0) is ILU(0) of a symmetric A, made exactly symmetric. finish() then
// folds s and c into the forward sweep's entries and splits F into the two
// triangles the sweeps read, each in rows of its own, so that a sweep
// streams only its own half.
struct TriangularFactor {
    CsrMatrix f;               // A's pattern with its diagonal (the diagonal's value unused)
    Array<std::int64_t> diag;  // the position of each row's diagonal in f
    Vector s;
    double c = 1.0;
    // Made by finish(), which frees f and diag:
    CsrMatrix lower, upper;                // F's entries before and after the diagonal
    Levels forward, backward;              // of lower and of upper; none for one thread
    Pipeline forward_plan, backward_plan;  // for the team of the solve that made the factor
};

// A's pattern and values with a zero entry added where the diagonal is missing,
// and the position of each row's diagonal.
void with_diagonal(const CsrMatrix &a, CsrMatrix &f, Array<std::int64_t> &diag);
// Makes a factor ready for its preconditioner: folds s into the forward
// sweep, which then reads w_i = s_i c r_i - sum_{j<i} (s_i f_ij) w_j, with
// one multiplication fewer between one row and the next, splits F into its
// triangles, and schedules both sweeps for the solve's team. False when a
// folded value overflowed.
bool finish(TriangularFactor &t);
// The last step of finish(), for a factor made in its triangles, with s
// and c already folded: schedules both sweeps for the solve's team.
void schedule(TriangularFactor &t);

// The preconditioner made of a factor.
class TriangularPreconditioner final : public Preconditioner {
  public:
    explicit TriangularPreconditioner(TriangularFactor t) : t_(std::move(t)) {}
    void apply(const double *r, double *z) const override;

  private:
    TriangularFactor t_;
};

// Incomplete LU with the sparsity of f (which holds A's values and a full
// diagonal): on return f's entries are L below the diagonal (unit diagonal
// implied) and U on and above it. A pivot u_ii smaller
// in magnitude than tiny_i, is set to +-tiny_i (1 for an empty row) and
// counted. Returns the number of replaced pivots, or -1 at the first pivot
// that overflowed or, with positive_pivots, is not above tiny_i.
long incomplete_lu(CsrMatrix &f, const Array<std::int64_t> &diag, const Vector &tiny,
                   bool positive_pivots);
// Turns L and U from incomplete_lu into the sweeps' form above.
void to_sweep_form(TriangularFactor &t);

}  // namespace brisvel
