// Incomplete Cholesky factorisation with the sparsity of a symmetric A, IC(0).
#include "kernels/vector_ops.h"
#include "precond/triangular.h"

#include <brisvel/brisvel.h>

#include <vector>

namespace brisvel {
namespace {

// A pivot at most this fraction of its diagonal entry counts as lost.
constexpr double smallest_pivot = 1e-10;
// The diagonal shifts tried, as fractions of the diagonal, after A itself.
constexpr double first_shift = 1e-3, shift_growth = 4.0;
constexpr int shifts = 10;  // up to about 262 times the diagonal

// Copies each entry below the diagonal, divided by its column's pivot, to
// its mirror above: the backward sweep then uses exactly the transpose of
// the forward sweep's unit factor, and M stays symmetric.
void mirror(TriangularFactor &t) {
    const std::size_t n = static_cast<std::size_t>(t.f.rows);
    std::vector<std::int64_t> next(t.diag.begin(), t.diag.end());  // next entry above, per row
    for (std::size_t i = 0; i < n; ++i)
        for (std::int64_t k = t.f.row_ptr[i]; k < t.diag[i]; ++k) {
            const std::size_t j = static_cast<std::size_t>(t.f.col.data()[k]);
            t.f.val.data()[++next[j]] = t.f.val.data()[k] * t.s[j];  // u_ji / u_jj = l_ij
        }
}

}  // namespace

// M = L D L' with L unit lower, of A + alpha diag(A): alpha = 0 first, then
// growing shifts while a pivot is not positive (Manteuffel's remedy). A
// nonsymmetric A is refused with QV_ERROR_NOT_SYMMETRIC; a diagonal entry
// that is not positive, or every shift failing, gives QV_ERROR_PRECONDITIONER.
BuiltPreconditioner make_ic0(const CsrMatrix &a, const Parameters &) {
    if (!is_symmetric(a))
        return {QV_ERROR_NOT_SYMMETRIC, nullptr};
    const std::size_t n = static_cast<std::size_t>(a.rows);
    TriangularFactor t;
    with_diagonal(a, t.f, t.diag);
    Vector d(n), tiny(n);
    for (std::size_t i = 0; i < n; ++i) {
        d[i] = t.f.val.data()[t.diag[i]];
        if (!(d[i] > 0.0))  // A is not positive definite
            return {QV_ERROR_PRECONDITIONER, nullptr};
    }
    double alpha = 0.0;
    for (int attempt = 0; attempt <= shifts; ++attempt) {
        if (attempt > 0)  // the failed elimination overwrote A's values: take them again
            with_diagonal(a, t.f, t.diag);
        for (std::size_t i = 0; i < n; ++i) {
            t.f.val.data()[t.diag[i]] = d[i] + alpha * d[i];
            tiny[i] = smallest_pivot * t.f.val.data()[t.diag[i]];
        }
        if (incomplete_lu(t.f, t.diag, tiny, true) == 0 &&
            all_finite(t.f.val.size(), t.f.val.data())) {
            to_sweep_form(t);
            mirror(t);
            if (!finish(t))
                return {QV_ERROR_PRECONDITIONER, nullptr};
            return {QV_OK, std::make_unique<TriangularPreconditioner>(std::move(t))};
        }
        alpha = attempt == 0 ? first_shift : alpha * shift_growth;
    }
    return {QV_ERROR_PRECONDITIONER, nullptr};
}

}  // namespace brisvel
