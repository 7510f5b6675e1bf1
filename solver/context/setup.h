// What a solve builds from the assembled system and the settings, kept in the
// context for the solves after it.
#pragma once

#include "context/parameters.h"
#include "direct/direct.h"
#include "kernels/csr.h"
#include "precond/preconditioner.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace brisvel {

// What a least-squares method keeps (solve/solve.cpp), and its deleter.
struct LeastSquaresSetup;
struct LeastSquaresSetupDelete {
    void operator()(LeastSquaresSetup *kept) const;
};

// The rows over the unknowns only: locked variables' terms moved to the
// right-hand side, unlocked variables renumbered in order.
struct ReducedSystem {
    CsrMatrix matrix;
    std::vector<std::int32_t> unknowns;  // variable index of each unknown
    CsrMatrix coupling;  // the locked variables' terms: row i's entries a_ij, j locked,
                         // in the order the row has them
};

// A setup serves the solves of the assembly it was made from, with settings
// that shape it as they were (same_setup_settings): the right-hand sides and
// the locked variables' values may change between them, nothing else. A
// direct method's factorisation also serves a later assembly of the same
// pattern and locks, factored again.
struct Setup {
    std::uint64_t assembly = 0;  // the context's assembly it was made from; 0: none
    Parameters params;           // the settings it was made with
    bool any_locked = false;
    ReducedSystem reduced;                           // when any variable is locked
    std::unique_ptr<Preconditioner> preconditioner;  // an iterative method's
    HierarchyShape hierarchy;
    std::unique_ptr<LeastSquaresSetup, LeastSquaresSetupDelete> least_squares;  // LSMR's, CGLS's
    std::unique_ptr<Factorisation> factor;                                      // a direct method's
    std::uint64_t factored = 0;         // the assembly it factors; 0: none yet
    std::vector<unsigned char> locked;  // with a factorisation: the locks it was made with
    Array<std::int64_t> pattern_rows;   // and the pattern of the matrix it factored
    Array<std::int32_t> pattern_cols;
    MatrixBounds bounds;                // the assembled matrix's, for the verdict
    std::uint64_t bounds_assembly = 0;  // the assembly they were made from; 0: none
    // Room the solves reuse, so that solving again maps no fresh memory.
    std::vector<Vector> rhs;  // each system's right-hand side over the unknowns
    Vector x, answer, block;  // an iterate, the variables' answer, a direct solve's B and X

    // The matrix the method solves: over the unknowns.
    const CsrMatrix &matrix(const CsrMatrix &assembled) const {
        return any_locked ? reduced.matrix : assembled;
    }
};

// Lets go what a new assembly makes stale: all but the factorisation, which
// a matrix of the same pattern may factor again.
inline void forget_assembly(Setup &s) {
    s.assembly = 0;
    s.preconditioner.reset();
    s.hierarchy = HierarchyShape{};
    s.least_squares.reset();
    s.reduced = ReducedSystem();
}

}  // namespace brisvel
