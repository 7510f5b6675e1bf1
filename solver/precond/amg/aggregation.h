// Smoothed aggregation's coarsening: strong connections, aggregates of
// them, and the prolongator from the coarse unknowns to the fine.
#pragma once

#include "kernels/csr.h"

#include <cstdint>
#include <vector>

namespace brisvel {

// Which unknowns form each coarse unknown.
struct Aggregates {
    std::vector<std::int32_t> of;  // each unknown's aggregate, -1 for one left out
    std::int32_t count = 0;
};

// a_ij is strong when |a_ij| >= theta sqrt(|a_ii a_jj|); strong[k] tells
// for each entry k of a (the diagonal is never strong).
std::vector<unsigned char> strong_entries(const CsrMatrix &a, const Vector &diagonal, double theta);

// Greedy aggregation in three passes, in the order of the unknowns:
// an unknown whose strong neighbours are all free starts an aggregate with
// them; an unknown left over joins the aggregate of its strongest
// neighbour that has one; what is still left starts aggregates with its
// free strong neighbours. An unknown with no strong neighbour at all is
// left out: the smoother alone takes care of it.
Aggregates aggregate(const CsrMatrix &a, const std::vector<unsigned char> &strong);

// Whether A's unknowns come in interleaved pairs (2p, 2p+1), as the two
// components of a vector field (a map's u and v, a plane's displacements)
// do: A has an even order, the rows of a pair hold the same columns, and
// those columns are whole pairs.
bool paired_unknowns(const CsrMatrix &a);

// Aggregation of the pairs as nodes: node p is strongly connected to q when
// any entry between their unknowns is strong, and each aggregate of nodes
// gives two aggregates of unknowns, 2g for the first components and 2g+1
// for the second. Each component's near-null vector (its constant) then
// has its own coarse unknown, and the coarse unknowns are pairs again.
Aggregates aggregate_pairs(const CsrMatrix &a, const std::vector<unsigned char> &strong);

// The entries the prolongator's smoothing keeps: those off the diagonal of
// at least fraction times their row's largest. Unlike strength, a row's own
// view: an entry small beside its row's others (a weak direction of
// anisotropy) is dropped, while one that is small only beside the other
// unknown's diagonal (across a jump in the coefficients) is kept, for the
// side of the jump to which it matters.
std::vector<unsigned char> kept_entries(const CsrMatrix &a, double fraction);

// The smoothed prolongator P = (I - omega D_F^-1 A_F) P_0: P_0 the
// near-null vector (the constant on the finest level) cut to each
// aggregate and scaled to unit length, so that P_0 times the coarse
// near-null vector, which near_null becomes, is the fine one; A_F the
// matrix with the entries not kept lumped onto the diagonal (row sums
// kept); omega = 4 / (3 rho), rho the largest Gershgorin bound on
// D_F^-1 A_F. Columns ascending.
CsrMatrix smoothed_prolongator(const CsrMatrix &a, const std::vector<unsigned char> &kept,
                               const Aggregates &aggregates, Vector &near_null);

}  // namespace brisvel
