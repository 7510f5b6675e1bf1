// The identity preconditioner and the choice of preconditioner by code.
#include "precond/preconditioner.h"

#include <brisvel/brisvel.h>

#include <algorithm>

namespace brisvel {

void IdentityPreconditioner::apply(const double *r, double *z) const { std::copy(r, r + n_, z); }

std::unique_ptr<Preconditioner> make_preconditioner(int code, const CsrMatrix &a, double omega) {
    switch (code) {
    case QV_PRECONDITIONER_SSOR:
        return std::make_unique<SsorPreconditioner>(a, omega);
    case QV_PRECONDITIONER_NONE:
        return std::make_unique<IdentityPreconditioner>(static_cast<std::size_t>(a.rows));
    default:
        return std::make_unique<JacobiPreconditioner>(a);
    }
}

}  // namespace brisvel
