// Products, transposes and queries on compressed sparse row matrices.
#include "kernels/csr.h"

#include "kernels/parallel.h"
#include "kernels/row_product.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace brisvel {

void spmv(const CsrMatrix &a, const double *x, double *y) {
    parallel_for(static_cast<std::size_t>(a.rows), [&](std::size_t begin, std::size_t end) {
        std::array<double, 0> none;
        product_rows<0>(a, x, y, begin, end, none,
                        [](std::size_t, double sum, double *) { return sum; });
    });
}

void spmv_rows(const CsrMatrix &a, const double *d, const double *x, double *y, std::size_t begin,
               std::size_t end) {
    std::array<double, 0> none;
    product_rows<0>(
        a, x, y, begin, end, none, [](std::size_t, double sum, double *) { return sum; }, d, false);
}

double spmv_dot(const CsrMatrix &a, const double *x, double *y, const double *w) {
    const std::size_t n = static_cast<std::size_t>(a.rows);
    return parallel_sum<1>(n, [&](std::size_t begin, std::size_t end, std::array<double, 1> &s) {
        product_rows<1>(a, x, y, begin, end, s, [w](std::size_t i, double sum, double *acc) {
            acc[0] += w[i] * sum;  // (w, A x)
            return sum;
        });
    })[0];
}

std::array<double, 2> spmv_dots(const CsrMatrix &a, const double *x, double *y, const double *w) {
    const std::size_t n = static_cast<std::size_t>(a.rows);
    return parallel_sum<2>(n, [&](std::size_t begin, std::size_t end, std::array<double, 2> &s) {
        product_rows<2>(a, x, y, begin, end, s, [w](std::size_t i, double sum, double *acc) {
            acc[0] += sum * sum;   // (A x, A x)
            acc[1] += w[i] * sum;  // (w, A x)
            return sum;
        });
    });
}

namespace {

// The residual's rounding bound again, for when its sum of squares overflowed:
// accumulated with a running scale, as a robust two-norm is.
double scaled_rounding_bound(const CsrMatrix &a, const double *b, const double *x) {
    const double eps = std::numeric_limits<double>::epsilon();
    ScaledNorm bound;
    const std::size_t rows = static_cast<std::size_t>(a.rows);
    for (std::size_t i = 0; i < rows; ++i) {
        double magnitude = std::fabs(b[i]);
        const auto row_end = static_cast<std::size_t>(a.row_ptr[i + 1]);
        for (auto k = static_cast<std::size_t>(a.row_ptr[i]); k < row_end; ++k)
            magnitude += std::fabs(a.val[k] * x[a.col[k]]);
        bound.add(static_cast<double>(a.row_ptr[i + 1] - a.row_ptr[i] + 1) * eps * magnitude);
    }
    return bound.value();
}

}  // namespace

double residual(const CsrMatrix &a, const double *b, const double *x, double *r) {
    const double eps = std::numeric_limits<double>::epsilon();
    const std::int64_t *row_ptr = a.row_ptr.data();
    const std::int32_t *col = a.col.data();
    const double *val = a.val.data();
    const std::size_t n = static_cast<std::size_t>(a.rows);
    const double bound_sq =
        parallel_sum<1>(n, [&](std::size_t begin, std::size_t end, std::array<double, 1> &s) {
            lane_sum<1>(begin, end, s, [&](std::size_t i, double *acc) {
                double sum = 0.0, magnitude = 0.0;
                for (std::int64_t k = row_ptr[i]; k < row_ptr[i + 1]; ++k) {
                    const double term = val[k] * x[col[k]];
                    sum += term;                   // (A x)_i
                    magnitude += std::fabs(term);  // (|A| |x|)_i
                }
                r[i] = b[i] - sum;  // r_i = b_i - (A x)_i
                const double row_bound = static_cast<double>(row_ptr[i + 1] - row_ptr[i] + 1) *
                                         eps * (magnitude + std::fabs(b[i]));
                acc[0] += row_bound * row_bound;
            });
        })[0];
    if (std::isnan(bound_sq))
        return bound_sq;  // NaN in x: no bound, and never a small one
    return std::isfinite(bound_sq) ? std::sqrt(bound_sq) : scaled_rounding_bound(a, b, x);
}

std::int64_t row_reach(const CsrMatrix &a) {
    std::int64_t reach = 0;
    for (std::int32_t i = 0; i < a.rows; ++i) {
        const auto row = static_cast<std::size_t>(i);
        const auto first = static_cast<std::size_t>(a.row_ptr[row]);
        const auto last = static_cast<std::size_t>(a.row_ptr[row + 1]);
        if (first < last)  // columns ascend: the first and last entries are the farthest
            reach = std::max(
                {reach, std::int64_t{i} - a.col[first], std::int64_t{a.col[last - 1]} - i});
    }
    return reach;
}

Vector diagonal(const CsrMatrix &a) {
    Vector d(static_cast<std::size_t>(std::min(a.rows, a.cols)), 0.0);
    for (std::size_t i = 0; i < d.size(); ++i) {
        const auto column = static_cast<std::int32_t>(i);
        const auto first = a.col.begin() + a.row_ptr[i];
        const auto last = a.col.begin() + a.row_ptr[i + 1];
        const auto it = std::lower_bound(first, last, column);
        if (it != last && *it == column)
            d[i] = a.val[static_cast<std::size_t>(it - a.col.begin())];
    }
    return d;
}

CsrMatrix transpose(const CsrMatrix &a) {
    CsrMatrix t;
    t.rows = a.cols;
    t.cols = a.rows;
    t.row_ptr.assign(static_cast<std::size_t>(t.rows) + 1, 0);
    const std::size_t nonzeros = static_cast<std::size_t>(a.nonzeros());
    for (std::size_t k = 0; k < nonzeros; ++k)
        ++t.row_ptr[static_cast<std::size_t>(a.col[k]) + 1];  // count the entries of each column
    for (std::size_t j = 0; j < static_cast<std::size_t>(t.rows); ++j)
        t.row_ptr[j + 1] += t.row_ptr[j];
    t.col.resize(a.col.size());
    t.val.resize(a.val.size());
    std::vector<std::int64_t> next(t.row_ptr.begin(), t.row_ptr.end() - 1);
    for (std::int32_t i = 0; i < a.rows; ++i) {  // rows in order keep each column sorted
        const auto row = static_cast<std::size_t>(i);
        const auto row_end = static_cast<std::size_t>(a.row_ptr[row + 1]);
        for (auto k = static_cast<std::size_t>(a.row_ptr[row]); k < row_end; ++k) {
            const auto dst = static_cast<std::size_t>(next[static_cast<std::size_t>(a.col[k])]++);
            t.col[dst] = i;
            t.val[dst] = a.val[k];
        }
    }
    return t;
}

bool is_symmetric(const CsrMatrix &a) {
    if (a.rows != a.cols)
        return false;
    const CsrMatrix t = transpose(a);
    return t.row_ptr == a.row_ptr && t.col == a.col && t.val == a.val;
}

}  // namespace brisvel
