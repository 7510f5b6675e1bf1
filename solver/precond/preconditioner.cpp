// The table of preconditioners, one row each, and the identity.
#include "precond/preconditioner.h"

#include <brisvel/brisvel.h>

#include <algorithm>

namespace brisvel {

// Each is defined in its own file.
std::unique_ptr<Preconditioner> make_jacobi(const CsrMatrix &a, const Parameters &p);
std::unique_ptr<Preconditioner> make_ssor(const CsrMatrix &a, const Parameters &p);
std::unique_ptr<NormalPreconditioner> make_column_scaling(const CsrMatrix &a, const Parameters &p);
std::unique_ptr<NormalPreconditioner> make_column_ssor(const CsrMatrix &a, const Parameters &p);
std::unique_ptr<NormalPreconditioner> make_column_identity(const CsrMatrix &a, const Parameters &p);

namespace {

// M = I.
class Identity final : public Preconditioner {
  public:
    explicit Identity(std::size_t n) : n_(n) {}
    void apply(const double *r, double *z) const override { std::copy(r, r + n_, z); }

  private:
    std::size_t n_;
};

std::unique_ptr<Preconditioner> make_identity(const CsrMatrix &a, const Parameters &) {
    return std::make_unique<Identity>(static_cast<std::size_t>(a.rows));
}

const PreconditionerKind preconditioners[] = {
    // clang-format off
    // code                     square         least squares, without A'A
    {QV_PRECONDITIONER_JACOBI, make_jacobi,   make_column_scaling},
    {QV_PRECONDITIONER_SSOR,   make_ssor,     make_column_ssor},
    {QV_PRECONDITIONER_NONE,   make_identity, make_column_identity},
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
