// Jacobi preconditioner: scaling by the inverse of the diagonal.
#include "kernels/parallel.h"
#include "precond/preconditioner.h"

#include <brisvel/brisvel.h>

#include <cmath>

namespace brisvel {
namespace {

// M = diag(A); a zero or missing diagonal entry counts as 1.
class Jacobi final : public Preconditioner {
  public:
    explicit Jacobi(const CsrMatrix &a) : inverse_diagonal_(diagonal(a)) {
        for (double &d : inverse_diagonal_)
            d = d != 0.0 && std::isfinite(1.0 / d) ? 1.0 / d : 1.0;  // never divide by zero
    }

    void apply(const double *r, double *z) const override {
        const double *d = inverse_diagonal_.data();
        parallel_for(inverse_diagonal_.size(), [=](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i)
                z[i] = d[i] * r[i];  // z = D^-1 r
        });
    }

    const double *inverse_diagonal() const override { return inverse_diagonal_.data(); }

  private:
    Vector inverse_diagonal_;
};

}  // namespace

BuiltPreconditioner make_jacobi(const CsrMatrix &a, const Parameters &) {
    return {QV_OK, std::make_unique<Jacobi>(a)};
}

}  // namespace brisvel
