// The table of preconditioners, one row each, and the identity.
#include "precond/preconditioner.h"

#include "kernels/vector_ops.h"

#include <brisvel/brisvel.h>

#include <algorithm>
#include <cmath>

namespace brisvel {

// Each is defined in its own file.
BuiltPreconditioner make_jacobi(const CsrMatrix &a, const Parameters &p);
BuiltPreconditioner make_ssor(const CsrMatrix &a, const Parameters &p);
BuiltPreconditioner make_ilu0(const CsrMatrix &a, const Parameters &p);
BuiltPreconditioner make_ic0(const CsrMatrix &a, const Parameters &p);
BuiltPreconditioner make_amg(const CsrMatrix &a, const Parameters &p);
BuiltPreconditioner make_ilut(const CsrMatrix &a, const Parameters &p);
std::unique_ptr<NormalPreconditioner> make_column_scaling(const CsrMatrix &a, const Parameters &p);
std::unique_ptr<NormalPreconditioner> make_column_ssor(const CsrMatrix &a, const Parameters &p);
std::unique_ptr<NormalPreconditioner> make_column_identity(const CsrMatrix &a, const Parameters &p);

namespace {

// M = I, or M = 2^e I when A's largest entry lies beyond 2^+-100: a scalar
// leaves the Krylov spaces as they are, but keeps the products with A near
// the scale of the residual, whose squares would otherwise overflow or
// underflow.
class Identity final : public Preconditioner {
  public:
    Identity(std::size_t n, double factor) : n_(n), factor_(factor) {}
    void apply(const double *r, double *z) const override {
        if (factor_ == 1.0)
            std::copy(r, r + n_, z);
        else
            for (std::size_t i = 0; i < n_; ++i)
                z[i] = factor_ * r[i];
    }

  private:
    std::size_t n_;
    double factor_;  // 2^-e
};

BuiltPreconditioner make_identity(const CsrMatrix &a, const Parameters &) {
    const double factor = std::ldexp(1.0, -far_exponent(a.val.size(), a.val.data()));
    return {QV_OK, std::make_unique<Identity>(static_cast<std::size_t>(a.rows), factor)};
}

// ILU(0) and ILUT are left to square systems: the normal equations are symmetric
// positive definite, and IC(0) is the factorisation made for them; it needs
// A'A formed, which least squares then does. Jacobi and the identity read no
// more than the diagonal, so A'A's upper triangle serves them.
const PreconditionerKind preconditioners[] = {
    // clang-format off
    // code                     square         least squares:  on A'A  without A'A           upper
    {QV_PRECONDITIONER_JACOBI,  make_jacobi,   true,           make_column_scaling,  true},
    {QV_PRECONDITIONER_SSOR,    make_ssor,     true,           make_column_ssor,     false},
    {QV_PRECONDITIONER_NONE,    make_identity, true,           make_column_identity, true},
    {QV_PRECONDITIONER_ILU0,    make_ilu0,     false,          nullptr,              false},
    {QV_PRECONDITIONER_IC0,     make_ic0,      true,           nullptr,              false},
    {QV_PRECONDITIONER_AMG,     make_amg,      true,           nullptr,              false},
    {QV_PRECONDITIONER_ILUT,    make_ilut,     false,          nullptr,              false},
    // clang-format on
};

}  // namespace

const PreconditionerKind *find_preconditioner(int code) {
    for (const PreconditionerKind &kind : preconditioners)
        if (kind.code == code)
            return &kind;
    return nullptr;
}

}  // namespace brisvel
