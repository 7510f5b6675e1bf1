// Least-squares Jacobi: scaling the columns of A to unit norm, and the identity.
#include "kernels/parallel.h"
#include "precond/preconditioner.h"

#include <algorithm>
#include <cmath>

namespace brisvel {
namespace {

// N = diag(n_j): the Jacobi preconditioner of A'A, M = diag(A'A) = N^-2,
// whose diagonal holds the squared column norms of A (no A'A is formed). A
// zero column gets n_j = 1.
class Diagonal final : public NormalPreconditioner {
  public:
    explicit Diagonal(Vector n) : n_(std::move(n)) {}
    void apply(const double *v, double *w) const override {
        const double *d = n_.data();
        parallel_for(n_.size(), [=](std::size_t begin, std::size_t end) {
            for (std::size_t j = begin; j < end; ++j)
                w[j] = d[j] * v[j];  // w = N v
        });
    }
    void apply_transpose(const double *s, double *z) const override { apply(s, z); }
    const double *diagonal() const override { return n_.data(); }

  private:
    Vector n_;
};

}  // namespace

// ||a_j||^2 for each column j of A, in one pass over A's entries in order.
Vector column_norms_squared(const CsrMatrix &a) {
    Vector sq(static_cast<std::size_t>(a.cols), 0.0);
    for (std::size_t k = 0; k < a.val.size(); ++k)
        sq[static_cast<std::size_t>(a.col[k])] += a.val[k] * a.val[k];  // (A'A)_jj = sum_i a_ij^2
    return sq;
}

std::unique_ptr<NormalPreconditioner> make_column_scaling(const CsrMatrix &a, const Parameters &) {
    Vector n = column_norms_squared(a);
    for (double &v : n)
        v = v > 0.0 && std::isfinite(1.0 / v) ? 1.0 / std::sqrt(v) : 1.0;  // n_j = 1 / ||a_j||
    return std::make_unique<Diagonal>(std::move(n));
}

std::unique_ptr<NormalPreconditioner> make_column_identity(const CsrMatrix &a, const Parameters &) {
    return std::make_unique<Diagonal>(Vector(static_cast<std::size_t>(a.cols), 1.0));  // N = I
}

}  // namespace brisvel
