// Algebraic multigrid by smoothed aggregation, as a preconditioner: one
// V-cycle with Chebyshev smoothing on each level and an exact solve on the
// coarsest.
#include "kernels/parallel.h"
#include "kernels/row_product.h"
#include "kernels/sparse_product.h"
#include "precond/amg/aggregation.h"
#include "precond/amg/coarse_solve.h"
#include "precond/preconditioner.h"

#include <brisvel/brisvel.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

namespace brisvel {
namespace {

// Coarsening stops when a level would keep more than this fraction of the
// unknowns of the one above: more levels would cost more than they gain.
constexpr double least_coarsening = 0.85;
// The largest coarsest level factored densely; beyond it (coarsening that
// stalled) the coarsest level is smoothed instead.
constexpr std::size_t largest_dense = 4000;
// The prolongator's smoothing keeps the entries of at least this fraction
// of their row's largest (kept_entries).
constexpr double kept_fraction = 0.04;
// Chebyshev smoothing works on [hi / ratio, hi] of D^-1 A's spectrum, hi a
// little above the largest Gershgorin bound.
constexpr double smoothing_ratio = 30.0;

struct Level {
    const CsrMatrix *a = nullptr;  // this level's matrix: the caller's on level 0
    CsrMatrix own;                 // a coarse level's, the Galerkin product
    CsrMatrix p, r;                // prolongation from the level below, and P'
    Vector inverse_diagonal;
    double hi = 0.0;    // the smoothing interval's upper end
    Vector x, b, d, t;  // the cycle's vectors (x, b unused on level 0)
};

// r = b - A x over rows [begin, end).
void residual_rows(const CsrMatrix &a, const double *b, const double *x, double *r,
                   std::size_t begin, std::size_t end) {
    std::array<double, 0> none;
    product_rows<0>(a, x, r, begin, end, none,
                    [b](std::size_t i, double sum, double *) { return b[i] - sum; });
}

class Amg final : public Preconditioner {
  public:
    Amg(std::vector<Level> levels, DenseLu coarse, int sweeps)
        : levels_(std::move(levels)), coarse_(std::move(coarse)), sweeps_(sweeps) {
        for (std::size_t l = 1; l < levels_.size(); ++l)
            levels_[l].a = &levels_[l].own;  // where each coarse matrix lives now
    }

    void apply(const double *r, double *z) const override { cycle(0, r, z); }

    HierarchyShape hierarchy() const override {
        double entries = 0.0;
        for (const Level &level : levels_)
            entries += static_cast<double>(level.a->nonzeros());
        return {static_cast<std::int32_t>(levels_.size()),
                entries / static_cast<double>(levels_[0].a->nonzeros())};
    }

  private:
    // x = M_l^-1 b on level l.
    void cycle(std::size_t l, const double *b, double *x) const;
    // x += p(D^-1 A) D^-1 (b - A x), the Chebyshev polynomial of degree sweeps
    // on [hi / ratio, hi]; x = 0 on entry when from_zero.
    void smooth(Level &level, const double *b, double *x, bool from_zero) const;

    mutable std::vector<Level> levels_;
    DenseLu coarse_;
    int sweeps_;
};

void Amg::smooth(Level &level, const double *b, double *x, bool from_zero) const {
    const CsrMatrix &a = *level.a;
    const std::size_t n = static_cast<std::size_t>(a.rows);
    const double *dinv = level.inverse_diagonal.data();
    double *d = level.d.data(), *t = level.t.data();  // (the levels are the cycle's work room)
    const double hi = level.hi, lo = hi / smoothing_ratio;
    const double theta = 0.5 * (hi + lo), delta = 0.5 * (hi - lo), sigma = theta / delta;
    // Each step reads the iterate from one of x and t and writes the next
    // to the other, in one pass with the residual it needs; the buffers
    // alternate so that the last step writes x (one copy more otherwise).
    const int steps = sweeps_;
    double *from = x;
    double *to = !from_zero || steps % 2 == 0 ? t : x;
    if (from_zero) {  // the first step: d = D^-1 b / theta, x_1 = d
        parallel_for(n, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i)
                to[i] = d[i] = dinv[i] * b[i] / theta;
        });
    } else {  // d = D^-1 (b - A x) / theta, x_1 = x + d
        parallel_for(n, [&](std::size_t begin, std::size_t end) {
            std::array<double, 0> none;
            product_rows<0>(a, from, to, begin, end, none, [&](std::size_t i, double ax, double *) {
                d[i] = dinv[i] * (b[i] - ax) / theta;
                return from[i] + d[i];
            });
        });
    }
    double rho = 1.0 / sigma;
    for (int k = 1; k < steps; ++k) {
        from = to;
        to = from == x ? t : x;
        const double rho_next = 1.0 / (2.0 * sigma - rho);
        const double c1 = rho_next * rho, c2 = 2.0 * rho_next / delta;
        // d = c1 d + c2 D^-1 (b - A x), x_next = x + d
        parallel_for(n, [&](std::size_t begin, std::size_t end) {
            std::array<double, 0> none;
            product_rows<0>(a, from, to, begin, end, none, [&](std::size_t i, double ax, double *) {
                d[i] = c1 * d[i] + c2 * dinv[i] * (b[i] - ax);
                return from[i] + d[i];
            });
        });
        rho = rho_next;
    }
    if (to != x)
        parallel_for(n, [&](std::size_t begin, std::size_t end) {
            std::copy(to + begin, to + end, x + begin);
        });
}

void Amg::cycle(std::size_t l, const double *b, double *x) const {
    Level &level = levels_[l];
    const CsrMatrix &a = *level.a;
    const std::size_t n = static_cast<std::size_t>(a.rows);
    if (l + 1 == levels_.size()) {  // the coarsest
        if (coarse_.size() == n) {
            coarse_.solve(b, x);
        } else {
            smooth(level, b, x, true);
            smooth(level, b, x, false);
        }
        return;
    }
    Level &below = levels_[l + 1];
    smooth(level, b, x, true);  // pre-smoothing
    double *t = level.t.data();
    parallel_for(n, [&](std::size_t begin, std::size_t end) {
        residual_rows(a, b, x, t, begin, end);  // t = b - A x
    });
    spmv(below.r, t, below.b.data());  // b_c = P' (b - A x)
    cycle(l + 1, below.b.data(), below.x.data());
    parallel_for(n, [&](std::size_t begin, std::size_t end) {
        std::array<double, 0> none;  // x += P x_c (each row reads x_c alone)
        product_rows<0>(below.p, below.x.data(), x, begin, end, none,
                        [x](std::size_t i, double sum, double *) { return x[i] + sum; });
    });
    smooth(level, b, x, false);  // post-smoothing
}

// The inverse of a's diagonal and the upper end of the smoothing interval,
// from the largest Gershgorin bound on D^-1 A; false when a diagonal entry
// is zero or the matrix is not finite.
bool smoothing_data(Level &level) {
    const CsrMatrix &a = *level.a;
    const std::size_t n = static_cast<std::size_t>(a.rows);
    const std::size_t blocks = (n + block_size - 1) / block_size;
    level.inverse_diagonal.assign(n, 0.0);
    // Each block's largest bound, NaN when a diagonal entry is zero or a
    // row is not finite; then the largest of them (the same on any team).
    std::vector<double> bound(blocks, 0.0);
    for_blocks(blocks, team_size(n), [&](std::size_t block) {
        double most = 0.0;
        for (std::size_t i = block * block_size; i < std::min(n, (block + 1) * block_size); ++i) {
            double d = 0.0, sum = 0.0;
            for (auto k = static_cast<std::size_t>(a.row_ptr[i]);
                 k < static_cast<std::size_t>(a.row_ptr[i + 1]); ++k) {
                sum += std::fabs(a.val[k]);
                if (static_cast<std::size_t>(a.col[k]) == i)
                    d = a.val[k];
            }
            const double inverse = 1.0 / d;
            if (d == 0.0 || !std::isfinite(inverse) || !std::isfinite(sum))
                most = std::numeric_limits<double>::quiet_NaN();
            level.inverse_diagonal[i] = inverse;
            most = std::isnan(most) ? most : std::max(most, sum * std::fabs(inverse));
        }
        bound[block] = most;
    });
    double largest = 0.0;
    for (double b : bound) {
        if (std::isnan(b))
            return false;
        largest = std::max(largest, b);
    }
    level.hi = 1.1 * largest;
    level.d.assign(n, 0.0);
    level.t.assign(n, 0.0);
    return true;
}

}  // namespace

// Builds the hierarchy: levels go down by smoothed aggregation until one
// has at most QV_PARAM_AMG_COARSEST unknowns, or coarsening stalls.
BuiltPreconditioner make_amg(const CsrMatrix &a, const Parameters &p) {
    std::vector<Level> levels(1);
    levels[0].a = &a;
    if (!smoothing_data(levels[0]))
        return {QV_ERROR_PRECONDITIONER, nullptr};
    const auto coarsest = static_cast<std::size_t>(p.amg_coarsest);
    Vector near_null(static_cast<std::size_t>(a.rows), 1.0);  // the constant, on each level
    const bool finest_paired = p.amg_pairs == 1 && paired_unknowns(a);
    while (static_cast<std::size_t>(levels.back().a->rows) > coarsest) {
        const CsrMatrix &fine = *levels.back().a;
        const std::vector<unsigned char> strong =
            strong_entries(fine, diagonal(fine), p.amg_strength);
        // Pairs are taken where the finest level has them: a scalar
        // problem's small, dense coarse levels may look paired by chance.
        const bool pairs = p.amg_pairs == 1 && finest_paired && paired_unknowns(fine);
        const Aggregates aggregates =
            pairs ? aggregate_pairs(fine, strong) : aggregate(fine, strong);
        if (aggregates.count == 0 || static_cast<double>(aggregates.count) >
                                         least_coarsening * static_cast<double>(fine.rows))
            break;
        Level next;
        next.p =
            smoothed_prolongator(fine, kept_entries(fine, kept_fraction), aggregates, near_null);
        next.r = transpose(next.p);
        next.own = sparse_product(next.r, sparse_product(fine, next.p));  // P'AP
        next.a = &next.own;
        if (!smoothing_data(next))
            break;  // (a zero on the diagonal of P'AP, as an indefinite A may give)
        const auto nc = static_cast<std::size_t>(next.own.rows);
        next.x.assign(nc, 0.0);
        next.b.assign(nc, 0.0);
        levels.push_back(std::move(next));
        levels.back().a = &levels.back().own;  // (moved: point at its own again)
    }
    DenseLu coarse;
    const CsrMatrix &last = *levels.back().a;
    if (static_cast<std::size_t>(last.rows) <= largest_dense && !coarse.factor(last))
        coarse = DenseLu();  // singular: the coarsest level is smoothed instead
    return {QV_OK, std::make_unique<Amg>(std::move(levels), std::move(coarse), p.amg_sweeps)};
}

}  // namespace brisvel
