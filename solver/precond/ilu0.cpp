// Incomplete LU factorisation with the sparsity of A, ILU(0).
#include "kernels/vector_ops.h"
#include "precond/triangular.h"

#include <brisvel/brisvel.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace brisvel {

// M = L U, where L (unit lower) and U keep A's pattern and L U agrees with A
// on it. A pivot smaller than sqrt(eps) times its row's largest entry
// (zero, or missing from the pattern) is replaced by that size, with its
// sign: the factor stays finite and the method decides by the true
// residual. A factor that overflows even so fails with
// QV_ERROR_PRECONDITIONER.
BuiltPreconditioner make_ilu0(const CsrMatrix &a, const Parameters &) {
    const std::size_t n = static_cast<std::size_t>(a.rows);
    TriangularFactor t;
    with_diagonal(a, t.f, t.diag);
    Vector tiny(n, 0.0);
    const double root_eps = std::sqrt(std::numeric_limits<double>::epsilon());
    for (std::size_t i = 0; i < n; ++i)
        for (std::int64_t k = a.row_ptr[i]; k < a.row_ptr[i + 1]; ++k)
            tiny[i] = std::max(tiny[i], root_eps * std::fabs(a.val.data()[k]));
    if (incomplete_lu(t.f, t.diag, tiny, false) < 0)
        return {QV_ERROR_PRECONDITIONER, nullptr};
    to_sweep_form(t);
    if (!finish(t))  // a factor that is not finite
        return {QV_ERROR_PRECONDITIONER, nullptr};
    return {QV_OK, std::make_unique<TriangularPreconditioner>(std::move(t))};
}

}  // namespace brisvel
