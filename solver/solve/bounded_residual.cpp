// The least-squares verdict for a wide margin: one sweep in double precision, bounded norm-wise.
#include "solve/verdict.h"

#include "kernels/csr.h"
#include "kernels/parallel.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>

namespace brisvel {
namespace {

constexpr double u = unit_roundoff;
constexpr double eta = subnormal_error;
// Covers the rounding of the bounds themselves, of the matrix's sums and
// the terms of second order, for counts k with k u <= 1e-3 (then
// gamma_k <= 1.001 k u).
constexpr double margin = 1.01;

// What the sweep gathers for column j: (A'r)_j and (A'c)_j. Two columns a
// cache line, so that a set for 40,000 columns stays in a core's cache.
struct Column {
    double g, h;
};

// What a half of the rows gives of the row sums r = b - Ax and c = b less
// the locked variables' terms: sums of squares and the largest sizes of r,
// of c and of the weights d and e of the bounds on their rounding, where
// |r_i - r*_i| <= u d_i and |c_i - c*_i| <= u e_i for the exact r* and c*
// (before margin).
struct RowTotals {
    std::array<double, 4> squares{};  // sum r^2, d^2, c^2, e^2
    std::array<double, 4> largest{};  // max |r|, d, |c|, e

    void add(double r, double d, double c, double e) {
        const std::array<double, 4> v{std::fabs(r), d, std::fabs(c), e};
        for (std::size_t f = 0; f < 4; ++f) {
            squares[f] += v[f] * v[f];
            largest[f] = std::max(largest[f], v[f]);
        }
    }
    void add(const RowTotals &other) {
        for (std::size_t f = 0; f < 4; ++f) {
            squares[f] += other.squares[f];
            largest[f] = std::max(largest[f], other.largest[f]);
        }
    }
};

// Sweeps the rows [first, last), gathering into the columns [lo, hi) of
// column alone (all of them with all_columns); returns the rows' totals.
// With locks, c is made from the locked variables' terms, else c = b exactly.
template <bool with_locks, bool all_columns>
RowTotals sweep_rows(const GivenSystem &given, const Vector &x, std::size_t first, std::size_t last,
                     std::size_t lo, std::size_t hi, Column *column) {
    const CsrMatrix &a = given.a;
    const unsigned char *locked = given.locked.data();
    // What a row reads is asked for this many rows early, once x and the
    // columns outgrow a core's cache; before that the asking only costs.
    constexpr std::size_t ahead = 16;
    const bool read_ahead = x.size() * (sizeof(double) + sizeof(Column)) > (std::size_t{1} << 20);
    (void)read_ahead;
    RowTotals totals;
    for (std::size_t i = first; i < last; ++i) {
        const auto row_begin = static_cast<std::size_t>(a.row_ptr[i]),
                   row_end = static_cast<std::size_t>(a.row_ptr[i + 1]);
#if defined(__GNUC__)  // (written out here: GCC 12 drops prefetches in a helper)
        if (read_ahead && i + ahead < last)
            for (std::int64_t k = a.row_ptr[i + ahead]; k < a.row_ptr[i + ahead + 1]; ++k) {
                const auto j = static_cast<std::size_t>(a.col[static_cast<std::size_t>(k)]);
                __builtin_prefetch(&x[j]);
                if (all_columns || (j >= lo && j < hi))
                    __builtin_prefetch(&column[j], 1);
            }
#endif
        double p = 0.0, p_abs = 0.0;  // (A x)_i and the sum of |t| and |partial sum|
        double q = 0.0, q_abs = 0.0;  // locked variables' terms alone: sum and sum |t|
        std::size_t locked_terms = 0;
        for (std::size_t k = row_begin; k < row_end; ++k) {
            const auto j = static_cast<std::size_t>(a.col[k]);
            const double t = a.val[k] * x[j];
            p += t;
            p_abs += std::fabs(t) + std::fabs(p);
            if (with_locks && locked[j] != 0) {
                q += t;
                q_abs += std::fabs(t);
                ++locked_terms;
            }
        }
        const double b = given.b[i];
        const double r = b - p, c = with_locks ? b - q : b;  // r = b - Ax, c = b - A_L x_L
        // Each product and each sum is off by u of itself; c is bounded as a
        // dot product of l terms less b, by gamma_(l+1) (|b| + sum |t|).
        const double d = p_abs + std::fabs(r);
        const double e = locked_terms == 0
                             ? 0.0
                             : static_cast<double>(locked_terms + 1) * (std::fabs(b) + q_abs);
        totals.add(r, d, c, e);
        for (std::size_t k = row_begin; k < row_end; ++k) {
            const auto j = static_cast<std::size_t>(a.col[k]);
            if (!all_columns && (j < lo || j >= hi))
                continue;                 // another part's column
            column[j].g += a.val[k] * r;  // g = A'r
            column[j].h += a.val[k] * c;  // h = A'c
        }
    }
    return totals;
}

template <bool with_locks>
double bounded_measure(const GivenSystem &given, const Vector &x, const MatrixBounds &bounds,
                       double threshold, bool room_for_two) {
    const std::size_t cols = x.size(), rows = given.b.size();
    // With room for two sets of columns, the rows fall into two fixed
    // halves, each gathered into its own set, the two added after; else one
    // set, which a team shares by columns. Either way each column's sums are
    // made in one order whatever the team, and the same order as the
    // component-wise verdict's.
    const std::size_t sets = room_for_two ? 2 : 1;
    Array<Column> records(sets * cols, Column{0.0, 0.0});
    std::array<RowTotals, 4> parts{};
    if (sets == 2) {
        for_blocks(2, team_size(rows), [&](std::size_t half) {
            parts[half] =
                sweep_rows<with_locks, true>(given, x, rows * half / 2, rows * (half + 1) / 2, 0,
                                             cols, records.data() + half * cols);
        });
        parts[0].add(parts[1]);
    } else {
        const std::size_t count =
            std::min<std::size_t>(static_cast<std::size_t>(team_size(cols)), parts.size());
        for_blocks(count, static_cast<int>(count), [&](std::size_t part) {
            parts[part] = sweep_rows<with_locks, false>(given, x, 0, rows, cols * part / count,
                                                        cols * (part + 1) / count, records.data());
        });
    }
    const RowTotals &totals = parts[0];  // (every part sweeps every row alone)
    // The two norms over the unknowns' columns.
    std::array<double, 2> squares{}, largest{};
    for (std::size_t j = 0; j < cols; ++j)
        if (!with_locks || given.locked[j] == 0) {
            Column col = records[j];
            if (sets == 2) {
                col.g += records[cols + j].g;
                col.h += records[cols + j].h;
            }
            const std::array<double, 2> v{std::fabs(col.g), std::fabs(col.h)};
            for (std::size_t f = 0; f < 2; ++f) {
                squares[f] += v[f] * v[f];
                largest[f] = std::max(largest[f], v[f]);
            }
        }
    // Beyond these ranges the plain sums of squares may not be trusted: the
    // component-wise verdict decides.
    const double col_terms = static_cast<double>(bounds.col_count_max + 1);
    if (!in_square_range(largest) || !in_square_range(totals.largest) || col_terms * u > 1e-3 ||
        bounds.row_count_max * u > 1e-3)
        return std::numeric_limits<double>::quiet_NaN();
    const double num = std::sqrt(squares[0]), den = std::sqrt(squares[1]);
    const double norm_r = std::sqrt(totals.squares[0]), norm_d = std::sqrt(totals.squares[1]);
    const double norm_c = std::sqrt(totals.squares[2]), norm_e = std::sqrt(totals.squares[3]);
    // g = A'r, rounded, is off from A'r* by at most |A'| u d plus the rounding
    // of each column's sum, gamma_(m+1) |A'| |r| for m entries (one more for
    // adding the halves); h = A'c likewise, with e. And
    // || |A'| v || <= sqrt(||A||_1 ||A||_inf) ||v||. A product that underflows
    // is off by eta / 2 alone: over all rows and columns that is at most
    // eta / 2 (sum_i n_i sum_j |a_ij| + nnz), in any norm.
    const double sigma = std::sqrt(bounds.col_abs_max) * std::sqrt(bounds.row_abs_max);
    const double tiny = eta * bounds.underflow_weight;
    const double num_err = margin * (sigma * u * (norm_d + col_terms * norm_r) + tiny);
    const double den_err = margin * (sigma * u * (norm_e + col_terms * norm_c) + tiny);
    // Each norm's own rounding is far below 1e-6 of it.
    const double most = (num + num_err) * (1.0 + 1e-6);
    const double least = den * (1.0 - 1e-6) - den_err;
    const bool finite = std::isfinite(num) && std::isfinite(num_err) && std::isfinite(den) &&
                        std::isfinite(den_err);
    const bool proven = finite && least > 0.0 && most <= threshold * least;
    if (proven && num_err <= accurate_to * num && den_err <= accurate_to * den)
        return num / den;
    return std::numeric_limits<double>::quiet_NaN();
}

}  // namespace

double bounded_normal_residual(const GivenSystem &given, const Vector &x,
                               const MatrixBounds &bounds, double threshold, bool room_for_two) {
    const bool with_locks = std::any_of(given.locked.begin(), given.locked.end(),
                                        [](unsigned char l) { return l != 0; });
    return with_locks ? bounded_measure<true>(given, x, bounds, threshold, room_for_two)
                      : bounded_measure<false>(given, x, bounds, threshold, room_for_two);
}

}  // namespace brisvel
