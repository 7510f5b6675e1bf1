// A verdict on a least-squares answer in double precision, for the common case.
#pragma once

#include "context/context.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <limits>

namespace brisvel {

// One system as the caller gave it, as verdicts judge it: the assembled
// matrix, the locks and one of the right-hand sides.
struct GivenSystem {
    const CsrMatrix &a;
    const std::vector<unsigned char> &locked;
    const Vector &b;
};

// The least-squares measure ||A'(b - Ax)|| / ||A'c|| over the unknowns'
// columns (c = b less the locked variables' terms) for the variables' values
// x as written, from sums in double precision that carry a rigorous bound on
// their own rounding, underflow included. Returned only when the bound
// proves the exact measure meets threshold and the value is good to
// accurate_to of itself; otherwise NaN, and the verdict in extended
// precision decides. One sweep over A and 32 bytes a column; with
// room_for_two, 64 bytes a column and a team shares it by rows, not by
// columns (each thread then makes only its own rows' sums).
double proven_normal_residual(const GivenSystem &given, const Vector &x, const MatrixBounds &bounds,
                              double threshold, bool room_for_two);

// The same measure, for a margin wide enough that norm-wise bounds settle
// it: one sweep over A that gathers A'r and A'c alone (16 bytes a column),
// the bounds on their rounding made from norms of the rows' sums and from
// the matrix's bounds. Returned only when it proves the measure meets
// threshold and is good to accurate_to of itself; otherwise NaN, and the
// component-wise verdict decides. The same value as that one's when both
// prove it.
double bounded_normal_residual(const GivenSystem &given, const Vector &x,
                               const MatrixBounds &bounds, double threshold, bool room_for_two);

constexpr double accurate_to = 1e-4;

// What the double-precision verdicts' bounds are made of: the unit
// roundoff, and twice the most a product is off by when its result is
// subnormal (a sum whose result is subnormal is exact).
constexpr double unit_roundoff = std::numeric_limits<double>::epsilon() / 2;
constexpr double subnormal_error = std::numeric_limits<double>::denorm_min();

// True when every size lies well inside the range where squares neither
// overflow nor lose more than a negligible part to underflow (or is 0):
// then plain sums of squares give the norms.
template <std::size_t N> bool in_square_range(const std::array<double, N> &largest) {
    return std::all_of(largest.begin(), largest.end(),
                       [](double v) { return v == 0.0 || (v >= 0x1p-400 && v <= 0x1p400); });
}

}  // namespace brisvel
