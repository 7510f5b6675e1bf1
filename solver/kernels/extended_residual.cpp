// The residual in extended precision, for both forms of storage.
#include "kernels/extended_residual.h"

#include "kernels/parallel.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <vector>

namespace brisvel {
namespace {

using Wide = long double;
constexpr Wide unit_roundoff = std::numeric_limits<Wide>::epsilon() / 2;

// The bound's value from its sum of squares, NaN when x held one.
double bound_of(Wide bound_sq) {
    return static_cast<double>(std::sqrt(bound_sq));  // (past double's range: infinity)
}

}  // namespace

double residual_extended(const CsrMatrix &a, const double *b, const double *x, double *r) {
    const std::int64_t *row_ptr = a.row_ptr.data();
    const std::int32_t *col = a.col.data();
    const double *val = a.val.data();
    const std::size_t n = static_cast<std::size_t>(a.rows);
    // Each row on its own, the bounds' squares added block by block in order:
    // the same bits on any team.
    const Wide bound_sq =
        parallel_sum<1, Wide>(n, [&](std::size_t begin, std::size_t end, std::array<Wide, 1> &s) {
            for (std::size_t i = begin; i < end; ++i) {
                Wide sum = b[i], magnitude = std::fabs(static_cast<Wide>(b[i]));
                for (std::int64_t k = row_ptr[i]; k < row_ptr[i + 1]; ++k) {
                    const Wide term = static_cast<Wide>(val[k]) * x[col[k]];
                    sum -= term;                   // b_i - (A x)_i
                    magnitude += std::fabs(term);  // |b_i| + (|A| |x|)_i
                }
                r[i] = static_cast<double>(sum);
                const Wide row_bound =
                    static_cast<Wide>(row_ptr[i + 1] - row_ptr[i] + 1) * unit_roundoff * magnitude;
                s[0] += row_bound * row_bound;
            }
        })[0];
    return bound_of(bound_sq);
}

double residual_extended(const SymmetricCsr &a, const double *b, const double *x, double *r) {
    const CsrMatrix &u = a.upper;
    const std::size_t n = static_cast<std::size_t>(u.rows);
    // Row i's terms left of the diagonal are the mirror images of entries in
    // the rows above it, at most reach rows up: they gather in a ring of
    // reach + 1 accumulators as the rows are taken in order, the slot of row
    // i free again once row i is done.
    const std::size_t ring = std::min<std::size_t>(n, static_cast<std::size_t>(a.reach) + 1);
    std::vector<Wide> left(ring, 0.0L), left_magnitude(ring, 0.0L);
    const Wide factor = static_cast<Wide>(a.longest_row + 1) * unit_roundoff;
    Wide bound_sq = 0.0L;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t slot = i % ring;
        Wide sum = left[slot], magnitude = left_magnitude[slot];  // the terms left of the diagonal
        left[slot] = left_magnitude[slot] = 0.0L;
        const auto last = static_cast<std::size_t>(u.row_ptr[i + 1]);
        for (auto k = static_cast<std::size_t>(u.row_ptr[i]); k < last; ++k) {
            const auto j = static_cast<std::size_t>(u.col[k]);
            const Wide term = static_cast<Wide>(u.val[k]) * x[j];
            sum += term;  // a_ij x_j, j >= i
            magnitude += std::fabs(term);
            if (j != i) {
                const Wide mirror = static_cast<Wide>(u.val[k]) * x[i];  // a_ji x_i, into row j
                left[j % ring] += mirror;
                left_magnitude[j % ring] += std::fabs(mirror);
            }
        }
        r[i] = static_cast<double>(b[i] - sum);  // r_i = b_i - (A x)_i
        const Wide row_bound = factor * (magnitude + std::fabs(static_cast<Wide>(b[i])));
        bound_sq += row_bound * row_bound;
    }
    return bound_of(bound_sq);
}

}  // namespace brisvel
