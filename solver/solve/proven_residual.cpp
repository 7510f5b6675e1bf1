// The least-squares verdict in double precision, with a rigorous bound on its own rounding.
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
// The errors of products that underflow are bounded once for the whole
// sweep, from the matrix's bounds, rather than term by term: arithmetic on
// subnormal numbers is slow.
constexpr double eta = subnormal_error;
// The bounds below are first-order sums of the rounding of each operation;
// this factor covers the rounding of the bounds themselves and the terms of
// second order, for any count of terms a row or column can have.
constexpr double margin = 1.001;

// Row i's r_i = b_i - (A x)_i and c_i = b_i less the locked variables'
// terms, each with a bound on its rounding.
struct ProvenRow {
    double r, r_err, c, c_err;
};

// What the product by A' gathers for column j: (A'r)_j and (A'c)_j with the
// bounds on theirs (|A'| times each row's bound, plus u |t| for each product
// t and u |s| for each partial sum s). Two columns a cache line.
struct ProvenColumn {
    double g, g_err, h, h_err;
};

ProvenRow row_sums(const GivenSystem &given, const Vector &x, std::size_t i) {
    const CsrMatrix &a = given.a;
    double p = 0.0, p_abs = 0.0;  // (A x)_i and the sum of |t| and |partial sum|
    double q = 0.0, q_abs = 0.0;  // the same over the locked variables' terms
    const auto first = static_cast<std::size_t>(a.row_ptr[i]),
               last = static_cast<std::size_t>(a.row_ptr[i + 1]);
    for (std::size_t k = first; k < last; ++k) {
        const auto j = static_cast<std::size_t>(a.col[k]);
        const double t = a.val[k] * x[j];
        p += t;
        p_abs += std::fabs(t) + std::fabs(p);
        if (given.locked[j] != 0) {
            q += t;
            q_abs += std::fabs(t) + std::fabs(q);
        }
    }
    const double b = given.b[i];
    ProvenRow row{b - p, 0.0, b - q, 0.0};
    row.r_err = margin * u * (p_abs + std::fabs(row.r));
    row.c_err = margin * u * (q_abs + std::fabs(row.c));
    return row;
}

}  // namespace

double proven_normal_residual(const GivenSystem &given, const Vector &x, const MatrixBounds &bounds,
                              double threshold, bool room_for_two) {
    const CsrMatrix &a = given.a;
    const std::size_t cols = x.size(), rows = given.b.size();
    // With room for two sets of column records, the rows fall into two fixed
    // halves, each gathered into its own set, the two added after; else one
    // set, which a team shares by columns. Either way each column's sums
    // are made in one order whatever the team.
    const std::size_t sets = room_for_two ? 2 : 1;
    Array<unsigned char> room(sets * cols * sizeof(ProvenColumn));  // zeros, which are 0.0
    auto *records = reinterpret_cast<ProvenColumn *>(room.data());
    constexpr std::size_t ahead = 16;  // rows: what a row reads is asked for this early
    // A sweep over the rows [first, last), gathering into the columns
    // [lo, hi) alone, of the records at column.
    auto sweep_rows = [&](std::size_t first, std::size_t last, std::size_t lo, std::size_t hi,
                          ProvenColumn *column) {
        for (std::size_t i = first; i < last; ++i) {
#if defined(__GNUC__)  // (written out here: GCC 12 drops prefetches in a helper)
            if (i + ahead < last)
                for (std::int64_t k = a.row_ptr[i + ahead]; k < a.row_ptr[i + ahead + 1]; ++k) {
                    const auto j = static_cast<std::size_t>(a.col[static_cast<std::size_t>(k)]);
                    __builtin_prefetch(&x[j]);
                    __builtin_prefetch(&given.locked[j]);
                    if (j >= lo && j < hi)
                        __builtin_prefetch(&column[j], 1);
                }
#endif
            const ProvenRow row = row_sums(given, x, i);
            for (auto k = static_cast<std::size_t>(a.row_ptr[i]);
                 k < static_cast<std::size_t>(a.row_ptr[i + 1]); ++k) {
                const auto j = static_cast<std::size_t>(a.col[k]);
                if (j < lo || j >= hi)
                    continue;  // another part's column
                ProvenColumn &col = column[j];
                const double a_ij = a.val[k], t = a_ij * row.r, s = a_ij * row.c;
                col.g += t;  // g = A'r
                col.g_err += std::fabs(a_ij) * row.r_err + u * (std::fabs(t) + std::fabs(col.g));
                col.h += s;  // h = A'c
                col.h_err += std::fabs(a_ij) * row.c_err + u * (std::fabs(s) + std::fabs(col.h));
            }
        }
    };
    if (sets == 2) {
        for_blocks(2, team_size(rows), [&](std::size_t p) {
            sweep_rows(rows * p / 2, rows * (p + 1) / 2, 0, cols, records + p * cols);
        });
    } else {
        const std::size_t parts =
            std::min<std::size_t>(static_cast<std::size_t>(team_size(cols)), 4);
        for_blocks(parts, static_cast<int>(parts), [&](std::size_t p) {
            sweep_rows(0, rows, cols * p / parts, cols * (p + 1) / parts, records);
        });
    }
    // Column j's sums, the two halves' added (one more rounding, u |sum|).
    auto combined = [&](std::size_t j) {
        if (sets == 1)
            return records[j];
        const ProvenColumn &one = records[j], &two = records[cols + j];
        ProvenColumn sum{one.g + two.g, 0.0, one.h + two.h, 0.0};
        sum.g_err = one.g_err + two.g_err + u * std::fabs(sum.g);
        sum.h_err = one.h_err + two.h_err + u * std::fabs(sum.h);
        return sum;
    };
    // The four norms over the unknowns' columns: plain sums of squares when
    // every entry lies well inside the range where squares neither overflow
    // nor lose more than a negligible part to underflow; a running scale else.
    std::array<double, 4> norm{}, largest{};
    auto fields = [&](std::size_t j) {
        const ProvenColumn col = combined(j);
        return std::array<double, 4>{std::fabs(col.g), col.g_err, std::fabs(col.h), col.h_err};
    };
    for (std::size_t j = 0; j < cols; ++j)
        if (given.locked[j] == 0) {  // an unknown's column
            const std::array<double, 4> v = fields(j);
            for (std::size_t f = 0; f < 4; ++f) {
                norm[f] += v[f] * v[f];
                largest[f] = std::max(largest[f], v[f]);
            }
        }
    if (in_square_range(largest)) {
        for (double &v : norm)
            v = std::sqrt(v);
    } else {
        std::array<ScaledNorm, 4> scaled;
        for (std::size_t j = 0; j < cols; ++j)
            if (given.locked[j] == 0) {
                const std::array<double, 4> v = fields(j);
                for (std::size_t f = 0; f < 4; ++f)
                    scaled[f].add(v[f]);
            }
        for (std::size_t f = 0; f < 4; ++f)
            norm[f] = scaled[f].value();
    }
    // ||A'r*|| <= ||g|| + ||g_err|| and ||A'c*|| >= ||h|| - ||h_err|| for the
    // exact r* and c*; each norm's own rounding is far below 1e-6. Products
    // that underflow add at most eta (n_i + 1) |a_ij| for each entry of row i
    // and 2 eta for each entry of column j: in any norm, at most 2 eta
    // (sum_i n_i sum_j |a_ij| + nnz).
    const double tiny = 2 * margin * eta * bounds.underflow_weight;
    const double num = norm[0], num_err = norm[1] + tiny, den = norm[2], den_err = norm[3] + tiny;
    const double most = (num + margin * num_err) * (1.0 + 1e-6);
    const double least = den * (1.0 - 1e-6) - margin * den_err;
    const bool finite = std::isfinite(num) && std::isfinite(num_err) && std::isfinite(den) &&
                        std::isfinite(den_err);
    const bool proven = finite && least > 0.0 && most <= threshold * least;
    if (proven && num_err <= accurate_to * num && den_err <= accurate_to * den)
        return num / den;
    return std::numeric_limits<double>::quiet_NaN();
}

}  // namespace brisvel
