// The row-product loop every pass over compressed rows is built on.
#pragma once

#include "kernels/csr.h"

#include <array>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace brisvel {

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

// Over rows [begin, end) (begin a multiple of 4) of A x, each row sum is
// handed to row(i, sum, lane), with one of four interleaved lanes of K
// accumulators (as lane_sum uses), and y_i gets what it returns: the sum
// itself for y = A x, or an update made from it. The lanes are added into
// sums at the end. The entry index runs on from row to row. Given d, the
// product is A diag(d) x, each d_j x_j rounded as a stored diag(d) x would be.
// Without may_stream, y stays in the caches for a pass that reads it next.
template <std::size_t K, class Row>
void product_rows(const CsrMatrix &a, const double *x, double *y, std::size_t begin,
                  std::size_t end, std::array<double, K> &sums, Row row, const double *d = nullptr,
                  bool may_stream = true) {
    const std::int64_t *row_ptr = a.row_ptr.data();
    const std::int32_t *col = a.col.data();
    const double *val = a.val.data();
    const bool stream =
        may_stream && a.rows >= streaming_rows && reinterpret_cast<std::uintptr_t>(y) % 16 == 0;
    double acc[4][K + 1] = {};  // one spare, so that K = 0 is allowed
    std::int64_t k = row_ptr[begin];
    auto row_sum = [&](std::size_t i) {
        const std::int64_t last = row_ptr[i + 1];
        double sum = 0.0;
        if (d != nullptr)
            for (; k < last; ++k)
                sum += val[k] * (d[col[k]] * x[col[k]]);  // (A diag(d) x)_i
        else
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
        const double y0 = row(i, s0, acc[0]), y1 = row(i + 1, s1, acc[1]);
        const double y2 = row(i + 2, s2, acc[2]), y3 = row(i + 3, s3, acc[3]);
        store_pair(y + i, y0, y1, stream);
        store_pair(y + i + 2, y2, y3, stream);
    }
    for (; i < end; ++i) {
        const double sum = row_sum(i);
        y[i] = row(i, sum, acc[0]);
    }
#if defined(__SSE2__)
    if (stream)
        _mm_sfence();  // the streamed stores are seen before anything after
#endif
    for (std::size_t j = 0; j < K; ++j)
        sums[j] += (acc[0][j] + acc[1][j]) + (acc[2][j] + acc[3][j]);
}

}  // namespace brisvel
