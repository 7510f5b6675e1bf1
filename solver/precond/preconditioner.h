// Preconditioners: z = M^-1 r for an approximation M of the system matrix.
#pragma once

#include "context/parameters.h"
#include "kernels/csr.h"

#include <cstdint>
#include <memory>

namespace brisvel {

// What a multigrid preconditioner tells of its hierarchy, or a threshold
// factorisation of its fill; zeros for others.
struct HierarchyShape {
    std::int32_t levels = 0;
    double complexity = 0.0;  // all levels' matrix entries over the finest's
    double fill = 0.0;        // the factors' entries over A's
};

class Preconditioner {
  public:
    virtual ~Preconditioner() = default;
    // z = M^-1 r; z and r do not overlap.
    virtual void apply(const double *r, double *z) const = 0;
    // The entries d of M^-1 = diag(d) when M is diagonal, so that methods
    // can fold the scaling into their own passes; null otherwise.
    virtual const double *inverse_diagonal() const { return nullptr; }
    virtual HierarchyShape hierarchy() const { return {}; }
};

// What a factory gives: code QV_OK and the preconditioner, or the
// QV_ERROR_* code telling why it could not be built and null.
struct BuiltPreconditioner {
    int code = 0;
    std::unique_ptr<Preconditioner> preconditioner;
};

// A preconditioner for least squares, M = (N N')^-1 near A'A, given by its
// factor N and applied without forming A'A: LSMR runs on A N, CGLS applies
// M^-1 = N N'.
class NormalPreconditioner {
  public:
    virtual ~NormalPreconditioner() = default;
    // w = N v.
    virtual void apply(const double *v, double *w) const = 0;
    // z = N' s.
    virtual void apply_transpose(const double *s, double *z) const = 0;
    // The entries of N when it is diagonal, so that methods fold it into
    // their passes; null otherwise.
    virtual const double *diagonal() const { return nullptr; }
};

// Builds a preconditioner for a, reading any setting of its own from p.
using PreconditionerFactory = BuiltPreconditioner (*)(const CsrMatrix &a, const Parameters &p);

// Builds a least-squares preconditioner for A, reading any setting of its own from p.
using NormalPreconditionerFactory = std::unique_ptr<NormalPreconditioner> (*)(const CsrMatrix &a,
                                                                              const Parameters &p);

struct PreconditionerKind {
    int code;                                 // its QV_PRECONDITIONER_* code
    PreconditionerFactory make;               // for a square matrix, or a formed A'A
    bool least_squares;                       // offered for the normal equations of least squares
    NormalPreconditionerFactory make_normal;  // for least squares without A'A; null: A'A is formed
    bool from_upper;  // make may be given only the upper triangle of a symmetric matrix
};

// The preconditioner with a QV_PRECONDITIONER_* code; null for an unknown code.
const PreconditionerKind *find_preconditioner(int code);

}  // namespace brisvel
