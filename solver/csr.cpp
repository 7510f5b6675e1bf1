// Products, transposes and queries on compressed sparse row matrices.
#include "csr.h"

#include "parallel.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace brisvel {

namespace {

// (A x)_i
inline double row_product(const CsrMatrix &a, std::int32_t i, const double *x) {
    const std::int64_t *row_ptr = a.row_ptr.data();
    const std::int32_t *col = a.col.data();
    const double *val = a.val.data();
    double sum = 0.0;
    for (std::int64_t k = row_ptr[i]; k < row_ptr[i + 1]; ++k)
        sum += val[k] * x[col[k]];  // y_i = sum_j a_ij x_j
    return sum;
}

} // namespace

void spmv(const CsrMatrix &a, const double *x, double *y) {
    parallel_for(static_cast<std::size_t>(a.rows), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i)
            y[i] = row_product(a, static_cast<std::int32_t>(i), x);
    });
}

double spmv_dot(const CsrMatrix &a, const double *x, double *y, const double *w) {
    const std::size_t n = static_cast<std::size_t>(a.rows);
    return parallel_sum<1>(n, [&](std::size_t begin, std::size_t end, std::array<double, 1> &s) {
        lane_sum<1>(begin, end, s, [&](std::size_t i, double *acc) {
            y[i] = row_product(a, static_cast<std::int32_t>(i), x);
            acc[0] += w[i] * y[i];  // (w, A x)
        });
    })[0];
}

std::array<double, 2> spmv_dots(const CsrMatrix &a, const double *x, double *y, const double *w) {
    const std::size_t n = static_cast<std::size_t>(a.rows);
    return parallel_sum<2>(n, [&](std::size_t begin, std::size_t end, std::array<double, 2> &s) {
        lane_sum<2>(begin, end, s, [&](std::size_t i, double *acc) {
            y[i] = row_product(a, static_cast<std::int32_t>(i), x);
            acc[0] += y[i] * y[i];  // (A x, A x)
            acc[1] += w[i] * y[i];  // (w, A x)
        });
    });
}

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
    return std::sqrt(bound_sq);
}

void spmv_transposed(const CsrMatrix &a, const double *x, double *y) {
    std::fill(y, y + a.cols, 0.0);
    for (std::int32_t i = 0; i < a.rows; ++i)
        for (std::int64_t k = a.row_ptr[i]; k < a.row_ptr[i + 1]; ++k)
            y[a.col[k]] += a.val[k] * x[i];  // y_j += a_ij x_i
}

Vector diagonal(const CsrMatrix &a) {
    Vector d(static_cast<std::size_t>(std::min(a.rows, a.cols)), 0.0);
    for (std::int32_t i = 0; i < static_cast<std::int32_t>(d.size()); ++i) {
        const auto first = a.col.begin() + a.row_ptr[i];
        const auto last = a.col.begin() + a.row_ptr[i + 1];
        const auto it = std::lower_bound(first, last, i);
        if (it != last && *it == i)
            d[i] = a.val[it - a.col.begin()];
    }
    return d;
}

CsrMatrix transpose(const CsrMatrix &a) {
    CsrMatrix t;
    t.rows = a.cols;
    t.cols = a.rows;
    t.row_ptr.assign(static_cast<std::size_t>(t.rows) + 1, 0);
    for (std::int64_t k = 0; k < a.nonzeros(); ++k)
        ++t.row_ptr[a.col[k] + 1];  // count the entries of each column
    for (std::int32_t j = 0; j < t.rows; ++j)
        t.row_ptr[j + 1] += t.row_ptr[j];
    t.col.resize(a.col.size());
    t.val.resize(a.val.size());
    std::vector<std::int64_t> next(t.row_ptr.begin(), t.row_ptr.end() - 1);
    for (std::int32_t i = 0; i < a.rows; ++i) {  // rows in order keep each column sorted
        for (std::int64_t k = a.row_ptr[i]; k < a.row_ptr[i + 1]; ++k) {
            const std::int64_t dst = next[a.col[k]]++;
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

} // namespace brisvel
