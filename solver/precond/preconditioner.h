// Preconditioners: z = M^-1 r for an approximation M of the system matrix.
#pragma once

#include "kernels/csr.h"

#include <memory>

namespace brisvel {

class Preconditioner {
  public:
    virtual ~Preconditioner() = default;
    // z = M^-1 r; z and r do not overlap.
    virtual void apply(const double *r, double *z) const = 0;
    // The entries d of M^-1 = diag(d) when M is diagonal, so that methods
    // can fold the scaling into their own passes; null otherwise.
    virtual const double *inverse_diagonal() const { return nullptr; }
};

// M = I.
class IdentityPreconditioner final : public Preconditioner {
  public:
    explicit IdentityPreconditioner(std::size_t n) : n_(n) {}
    void apply(const double *r, double *z) const override;

  private:
    std::size_t n_;
};

// M = diag(A); a zero or missing diagonal entry counts as 1.
class JacobiPreconditioner final : public Preconditioner {
  public:
    explicit JacobiPreconditioner(const CsrMatrix &a);
    void apply(const double *r, double *z) const override;
    const double *inverse_diagonal() const override { return inverse_diagonal_.data(); }

  private:
    Vector inverse_diagonal_;
};

// M = (D + wL) D^-1 (D + wU) / (w (2 - w)); a zero or missing diagonal entry
// counts as 1. Symmetric when A is, so it also serves conjugate gradients.
class SsorPreconditioner final : public Preconditioner {
  public:
    SsorPreconditioner(const CsrMatrix &a, double omega);
    void apply(const double *r, double *z) const override;

  private:
    const CsrMatrix &a_;
    double omega_;
    Vector diagonal_;
};

// The preconditioner for a QV_PRECONDITIONER_* code.
std::unique_ptr<Preconditioner> make_preconditioner(int code, const CsrMatrix &a, double omega);

}  // namespace brisvel
