// Products, transposes and queries on compressed sparse row matrices.
#include "kernels/csr.h"

#include "kernels/parallel.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace brisvel {

namespace {

// Products with at least this many rows stream: they ask for the entries
// well ahead of use, and write their result past the caches, where it would
// not stay anyway, so that memory need not first read the lines it is about
// to overwrite. Smaller products, which stay in the caches, gain nothing from
// either. (bench/README.md has the measurements.)
constexpr std::int32_t streaming_rows = std::int32_t{1} << 19;
constexpr std::int64_t prefetch_distance = 1024;  // entries ahead

// y[0] = a, y[1] = b, past the caches when stream is set (y 16-byte aligned).
inline void store_pair(double *y, double a, double b, bool stream) {
#if defined(__SSE2__)
    if (stream) {
        _mm_stream_pd(y, _mm_set_pd(b, a));
        return;
    }
#endif
    y[0] = a;
    y[1] = b;
    (void)stream;
}

// y = A x over rows [begin, end) (begin a multiple of 4), each row sum then
// handed to row(i, sum, lane) with one of four interleaved lanes of K
// accumulators (as lane_sum uses), which are added into sums at the end.
// The entry index runs on from row to row.
template <std::size_t K, class Row>
void product_rows(const CsrMatrix &a, const double *x, double *y, std::size_t begin,
                  std::size_t end, std::array<double, K> &sums, Row row) {
    const std::int64_t *row_ptr = a.row_ptr.data();
    const std::int32_t *col = a.col.data();
    const double *val = a.val.data();
    const bool stream = a.rows >= streaming_rows && reinterpret_cast<std::uintptr_t>(y) % 16 == 0;
    double acc[4][K + 1] = {};  // one spare, so that K = 0 is allowed
    std::int64_t k = row_ptr[begin];
    auto row_sum = [&](std::size_t i) {
        const std::int64_t last = row_ptr[i + 1];
        double sum = 0.0;
        for (; k < last; ++k)
            sum += val[k] * x[col[k]];  // (A x)_i = sum_j a_ij x_j
        return sum;
    };
    std::size_t i = begin;
    for (; i + 4 <= end; i += 4) {
#if defined(__GNUC__)
        if (stream) {  // (a prefetch past the end is harmless)
            __builtin_prefetch(val + k + prefetch_distance);
            __builtin_prefetch(val + k + prefetch_distance + 8);
            __builtin_prefetch(col + k + prefetch_distance);
        }
#endif
        const double s0 = row_sum(i), s1 = row_sum(i + 1), s2 = row_sum(i + 2), s3 = row_sum(i + 3);
        store_pair(y + i, s0, s1, stream);
        store_pair(y + i + 2, s2, s3, stream);
        row(i, s0, acc[0]);
        row(i + 1, s1, acc[1]);
        row(i + 2, s2, acc[2]);
        row(i + 3, s3, acc[3]);
    }
    for (; i < end; ++i) {
        y[i] = row_sum(i);
        row(i, y[i], acc[0]);
    }
#if defined(__SSE2__)
    if (stream)
        _mm_sfence();  // the streamed stores are seen before anything after
#endif
    for (std::size_t j = 0; j < K; ++j)
        sums[j] += (acc[0][j] + acc[1][j]) + (acc[2][j] + acc[3][j]);
}

}  // namespace

void spmv(const CsrMatrix &a, const double *x, double *y) {
    parallel_for(static_cast<std::size_t>(a.rows), [&](std::size_t begin, std::size_t end) {
        std::array<double, 0> none;
        product_rows<0>(a, x, y, begin, end, none, [](std::size_t, double, double *) {});
    });
}

double spmv_dot(const CsrMatrix &a, const double *x, double *y, const double *w) {
    const std::size_t n = static_cast<std::size_t>(a.rows);
    return parallel_sum<1>(n, [&](std::size_t begin, std::size_t end, std::array<double, 1> &s) {
        product_rows<1>(a, x, y, begin, end, s, [w](std::size_t i, double sum, double *acc) {
            acc[0] += w[i] * sum;  // (w, A x)
        });
    })[0];
}

std::array<double, 2> spmv_dots(const CsrMatrix &a, const double *x, double *y, const double *w) {
    const std::size_t n = static_cast<std::size_t>(a.rows);
    return parallel_sum<2>(n, [&](std::size_t begin, std::size_t end, std::array<double, 2> &s) {
        product_rows<2>(a, x, y, begin, end, s, [w](std::size_t i, double sum, double *acc) {
            acc[0] += sum * sum;   // (A x, A x)
            acc[1] += w[i] * sum;  // (w, A x)
        });
    });
}

namespace {

// The residual's rounding bound again, for when its sum of squares overflowed:
// accumulated with a running scale, as a robust two-norm is.
double scaled_rounding_bound(const CsrMatrix &a, const double *b, const double *x) {
    const double eps = std::numeric_limits<double>::epsilon();
    double scale = 0.0, scaled_sq = 1.0;  // bound = scale * sqrt(scaled_sq)
    const std::size_t rows = static_cast<std::size_t>(a.rows);
    for (std::size_t i = 0; i < rows; ++i) {
        double magnitude = std::fabs(b[i]);
        const auto row_end = static_cast<std::size_t>(a.row_ptr[i + 1]);
        for (auto k = static_cast<std::size_t>(a.row_ptr[i]); k < row_end; ++k)
            magnitude += std::fabs(a.val[k] * x[a.col[k]]);
        const double row_bound =
            static_cast<double>(a.row_ptr[i + 1] - a.row_ptr[i] + 1) * eps * magnitude;
        if (row_bound > scale) {
            scaled_sq = 1.0 + scaled_sq * (scale / row_bound) * (scale / row_bound);
            scale = row_bound;
        } else if (row_bound > 0.0) {
            scaled_sq += (row_bound / scale) * (row_bound / scale);
        }
    }
    return scale * std::sqrt(scaled_sq);
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
