// Symmetric successive over-relaxation preconditioner: a forward and a backward sweep.
#include "precond/triangular.h"

#include <brisvel/brisvel.h>

namespace brisvel {

// M = (D + wL) D^-1 (D + wU) / (w (2 - w)); a zero or missing diagonal entry
// counts as 1. Symmetric when A is, so it also serves conjugate gradients.
// In the sweeps' form (precond/triangular.h) the inverse diagonal, the
// relaxation factor and the scaling w (2 - w) are stored, not recomputed.
BuiltPreconditioner make_ssor(const CsrMatrix &a, const Parameters &p) {
    const double w = p.ssor_omega;
    TriangularFactor t;
    with_diagonal(a, t.f, t.diag);
    const std::size_t n = static_cast<std::size_t>(a.rows);
    t.s.resize(n);
    t.c = 2.0 - w;  // s_i c = w (2 - w) / d_i
    for (std::size_t i = 0; i < n; ++i) {
        const double d = t.f.val.data()[t.diag[i]];
        t.s[i] = w / (d != 0.0 ? d : 1.0);  // never divide by a zero diagonal
        for (std::int64_t k = t.diag[i] + 1; k < t.f.row_ptr[i + 1]; ++k)
            t.f.val.data()[k] *= t.s[i];  // (w/d_i) a_ij above the diagonal
    }
    if (!finish(t))
        return {QV_ERROR_PRECONDITIONER, nullptr};
    return {QV_OK, std::make_unique<TriangularPreconditioner>(std::move(t))};
}

}  // namespace brisvel
