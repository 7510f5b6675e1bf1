// Products with a symmetric matrix stored as its upper triangle.
#include "kernels/symmetric.h"

#include "kernels/parallel.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace brisvel {
namespace {

// y = A x over the team, each row's sum handed to row(i, sum, lane) as
// product_rows does (four interleaved lanes of K accumulators, then lane 0
// for the rows past the last four), y_i getting what it returns; term(a, x)
// makes each term a x. Returns the lanes' sums, added block by block in
// order, as parallel_sum adds them.
template <std::size_t K, class Term, class Row>
std::array<double, K> symmetric_product(const SymmetricCsr &a, const double *x, double *y,
                                        Term term, Row row) {
    const CsrMatrix &u = a.upper;
    const std::size_t n = static_cast<std::size_t>(u.rows);
    const std::size_t blocks = (n + block_size - 1) / block_size;
    const std::int64_t *start = u.row_ptr.data();
    const std::int32_t *col = u.col.data();
    const double *val = u.val.data();
    std::vector<std::array<double, K>> partial(blocks);
    // Rows start at 0 a block ahead of the block whose rows scatter into
    // them, so that they are still in the caches; or the whole run at once
    // when rows reach farther.
    const bool near = a.reach <= static_cast<std::int64_t>(block_size);
    for_runs(blocks, team_size(n), [&](std::size_t lo, std::size_t hi, const auto &) {
        const std::size_t first = lo * block_size, last = std::min(hi * block_size, n);
        std::size_t zeroed = first;           // y[first, zeroed) hold the sums so far
        auto open_for = [&](std::size_t b) {  // the rows block b's rows may scatter into
            const std::size_t to = near ? std::min(last, (b + 2) * block_size) : last;
            for (; zeroed < to; ++zeroed)
                y[zeroed] = 0.0;
        };
        double spill = 0.0;  // where the terms for the next run's rows go
        open_for(lo);
        // The rows above the run that reach into it, replayed in order.
        for (std::size_t j = lo < blocks ? a.reach_from[lo] : first; j < first; ++j)
            for (std::int64_t k = start[j]; k < start[j + 1]; ++k) {
                const auto c = static_cast<std::size_t>(col[k]);
                if (c >= first && c < last)
                    y[c] += term(val[k], x[j]);  // a_cj x_j into row c
            }
        for (std::size_t b = lo; b < hi; ++b) {
            const std::size_t begin = b * block_size, end = std::min(begin + block_size, n);
            open_for(b);
            double acc[4][K + 1] = {};  // one spare, so that K = 0 is allowed
            // Row i's sum, its mirror terms added into the rows below.
            auto row_sum = [&](std::size_t i) {
                std::int64_t k = start[i];
                const std::int64_t k_end = start[i + 1];
                double sum = y[i];  // 0, plus the terms left of the diagonal in column order
                const double x_i = x[i];
                if (k < k_end && static_cast<std::size_t>(col[k]) == i)
                    sum += term(val[k++], x_i);  // the diagonal
                for (; k < k_end; ++k) {
                    const auto c = static_cast<std::size_t>(col[k]);
                    sum += term(val[k], x[c]);  // the terms right of the diagonal,
                    *(c < last ? y + c : &spill) += term(val[k], x_i);  // a_ci x_i into row c
                }
                return sum;
            };
            std::size_t i = begin;
            for (; i + 4 <= end; i += 4) {  // the lanes as product_rows takes them
                y[i] = row(i, row_sum(i), acc[0]);
                y[i + 1] = row(i + 1, row_sum(i + 1), acc[1]);
                y[i + 2] = row(i + 2, row_sum(i + 2), acc[2]);
                y[i + 3] = row(i + 3, row_sum(i + 3), acc[3]);
            }
            for (; i < end; ++i)
                y[i] = row(i, row_sum(i), acc[0]);
            partial[b].fill(0.0);
            if constexpr (K > 0)
                for (std::size_t j = 0; j < K; ++j)
                    partial[b][j] += (acc[0][j] + acc[1][j]) + (acc[2][j] + acc[3][j]);
        }
    });
    std::array<double, K> total{};
    if constexpr (K > 0)
        for (const std::array<double, K> &sums : partial)
            for (std::size_t k = 0; k < K; ++k)
                total[k] += sums[k];
    return total;
}

}  // namespace

SymmetricCsr symmetric_from_upper(CsrMatrix upper) {
    SymmetricCsr s;
    s.upper = std::move(upper);
    const CsrMatrix &u = s.upper;
    const std::size_t n = static_cast<std::size_t>(u.rows);
    const std::size_t blocks = (n + block_size - 1) / block_size;
    s.reach_from.resize(blocks);
    for (std::size_t b = 0; b < blocks; ++b)
        s.reach_from[b] = b * block_size;  // none from above, so far
    Array<std::int32_t> length(n, 0);      // each row's entries in the whole matrix
    for (std::size_t j = 0; j < n; ++j) {
        const auto first = static_cast<std::size_t>(u.row_ptr[j]);
        const auto last = static_cast<std::size_t>(u.row_ptr[j + 1]);
        length[j] += static_cast<std::int32_t>(last - first);
        for (std::size_t k = first; k < last; ++k)
            if (static_cast<std::size_t>(u.col[k]) != j)
                ++length[static_cast<std::size_t>(u.col[k])];  // the mirror image in row c
        if (first == last)
            continue;
        const auto farthest = static_cast<std::size_t>(u.col[last - 1]);
        s.reach = std::max(s.reach, static_cast<std::int64_t>(farthest - j));
        for (std::size_t b = j / block_size + 1; b * block_size <= farthest; ++b)
            if (s.reach_from[b] == b * block_size)
                s.reach_from[b] = j;  // rows come in order: the first to reach b
    }
    for (std::int64_t l : length)
        s.longest_row = std::max(s.longest_row, l);
    return s;
}

double spmv_dot(const SymmetricCsr &a, const double *x, double *y, const double *w) {
    return symmetric_product<1>(
        a, x, y, [](double a_ij, double x_j) { return a_ij * x_j; },
        [w](std::size_t i, double sum, double *acc) {
            acc[0] += w[i] * sum;  // (w, A x)
            return sum;
        })[0];
}

double residual(const SymmetricCsr &a, const double *b, const double *x, double *r) {
    const double eps = std::numeric_limits<double>::epsilon();
    // First (|A| |x|)_i, the magnitudes of row i's terms, in r.
    symmetric_product<0>(
        a, x, r, [](double a_ij, double x_j) { return std::fabs(a_ij * x_j); },
        [](std::size_t, double sum, double *) { return sum; });
    // The bound, with the longest row's length for every row, accumulated
    // with a running scale so that it cannot overflow.
    const double factor = static_cast<double>(a.longest_row + 1) * eps;
    ScaledNorm bound;
    double unbounded = 0.0;  // NaN or infinity, when a row's bound is
    const std::size_t n = static_cast<std::size_t>(a.upper.rows);
    for (std::size_t i = 0; i < n && unbounded == 0.0; ++i) {
        const double row_bound = factor * (r[i] + std::fabs(b[i]));
        if (!std::isfinite(row_bound))
            unbounded = row_bound;  // NaN in x gives no bound, and never a small one
        else
            bound.add(row_bound);
    }
    symmetric_product<0>(
        a, x, r, [](double a_ij, double x_j) { return a_ij * x_j; },
        [b](std::size_t i, double sum, double *) { return b[i] - sum; });  // r_i = b_i - (A x)_i
    return unbounded != 0.0 ? unbounded : bound.value();
}

}  // namespace brisvel
