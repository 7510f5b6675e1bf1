// Least-squares sweeps over A scattering A'y into fixed parts, and the passes adding the parts.
#include "kernels/normal_ops.h"

#include "kernels/parallel.h"
#include "kernels/vector_ops.h"

#include <algorithm>
#include <cmath>

namespace brisvel {
namespace {

// (A x)_i over row i's entries.
inline double row_product(const CsrMatrix &a, std::size_t i, const double *x) {
    const double *val = a.val.data();
    const std::int32_t *col = a.col.data();
    double sum = 0.0;
    for (std::int64_t k = a.row_ptr[i]; k < a.row_ptr[i + 1]; ++k)
        sum += val[k] * x[col[k]];  // (A x)_i = sum_j a_ij x_j
    return sum;
}

// t += a_i y over row i's entries: row i's share of A'y.
inline void row_scatter(const CsrMatrix &a, std::size_t i, double y, double *t) {
    const double *val = a.val.data();
    const std::int32_t *col = a.col.data();
    for (std::int64_t k = a.row_ptr[i]; k < a.row_ptr[i + 1]; ++k)
        t[col[k]] += val[k] * y;  // (A'y)_j += a_ij y_i
}

// Fused sweeps take rows in pairs while x and the partial sums together
// are at most this big.
constexpr std::size_t pair_bytes = std::size_t{1} << 20;

// A split pass asks for the scattered entries that the row this far ahead
// will touch: its time is the latency of those reads, not bandwidth.
constexpr std::size_t ahead = 32;

// For each part of the rows, in order: product(i, acc) makes row i's share
// of A x (gathering from x, which may be null when it gathers nothing) and
// adds to the part's accumulator; scatter(i, t) then adds row i's share of
// A'y into the part's partial sums. The parts' accumulators are added in
// order. Fused, each row makes both at once. Split, all of a part's
// products come first, then all its scatters: alone in a pass, the
// scattered reads do not wait on one another, and only one vector's entries
// compete for the caches. A row's arithmetic is the same either way.
template <class Product, class Scatter>
double sweep(const CsrMatrix &a, bool split, const double *x, ScatterSums *t, Product product,
             Scatter scatter) {
    const std::size_t m = static_cast<std::size_t>(a.rows);
    const std::int64_t *row_ptr = a.row_ptr.data();
    const std::int32_t *col = a.col.data();
    std::array<double, scatter_parts> partial{};
    const bool in_cache =
        static_cast<std::size_t>(a.cols) * sizeof(double) * (1 + scatter_parts) <= pair_bytes;
    for_blocks(scatter_parts, team_size(m), [&](std::size_t p) {
        const std::size_t begin = m * p / scatter_parts, end = m * (p + 1) / scatter_parts;
        double *tp = t != nullptr ? t->part(p) : nullptr;
        double acc = 0.0;
        if (!split) {
            // Two rows at a time when x and the partial sums stay in a
            // core's cache: the second row's sum runs while the first one's
            // waits to be scattered. Beyond that the reads that miss are
            // what waits, and pairs only slowed the sweeps (LSMR at 400 x 400
            // on one thread: 0.38 s became 0.44 to 0.50). A product never
            // reads what a scatter writes, and the order of each is kept.
            std::size_t i = begin;
            if (in_cache)
                for (; i + 2 <= end; i += 2) {
                    product(i, acc);
                    product(i + 1, acc);
                    scatter(i, tp);
                    scatter(i + 1, tp);
                }
            for (; i < end; ++i) {
                product(i, acc);
                scatter(i, tp);
            }
            partial[p] = acc;
            return;
        }
        for (std::size_t i = begin; i < end; ++i) {
#if defined(__GNUC__)  // (written out here: GCC 12 drops prefetches in a helper of their own)
            if (x != nullptr && i + ahead < end)
                for (std::int64_t k = row_ptr[i + ahead]; k < row_ptr[i + ahead + 1]; ++k)
                    __builtin_prefetch(x + col[k]);
#endif
            product(i, acc);
        }
        for (std::size_t i = begin; i < end; ++i) {
#if defined(__GNUC__)
            if (tp != nullptr && i + ahead < end)
                for (std::int64_t k = row_ptr[i + ahead]; k < row_ptr[i + ahead + 1]; ++k)
                    __builtin_prefetch(tp + col[k], 1);
#endif
            scatter(i, tp);
        }
        partial[p] = acc;
    });
    (void)row_ptr, (void)col;
    double total = 0.0;
    for (double s : partial)
        total += s;
    return total;
}

// The sum of t's parts at j, each part then cleared.
inline double take(ScatterSums &t, std::size_t j) {
    double sum = 0.0;
    for (std::size_t p = 0; p < scatter_parts; ++p) {
        double *part = t.part(p);
        sum += part[j];
        part[j] = 0.0;
    }
    return sum;
}

// Sweeps split only when x alone outgrows this (the caches hold it and the
// partial sums otherwise) ...
constexpr std::size_t split_bytes = std::size_t{2} << 20;
// ... and when consecutive rows reach across more than this many columns
// on average (128 KiB of x): banded and grid-like rows stay within it.
constexpr std::int64_t local_reach = 16384;

}  // namespace

bool split_sweeps(const CsrMatrix &a) {
    if (static_cast<std::size_t>(a.cols) * sizeof(double) < split_bytes)
        return false;
    std::int64_t reach = 0, rows = 0;  // columns spanned by each row with the row before it
    std::int32_t before = -1;          // the last row's first column
    for (std::size_t i = 0; i < static_cast<std::size_t>(a.rows); ++i) {
        if (a.row_ptr[i] == a.row_ptr[i + 1])
            continue;
        const std::int32_t first = a.col[static_cast<std::size_t>(a.row_ptr[i])];
        const std::int32_t last = a.col[static_cast<std::size_t>(a.row_ptr[i + 1] - 1)];
        const std::int32_t low = before >= 0 ? std::min(first, before) : first;
        reach += std::max(last, before) - low;
        before = first;
        ++rows;
    }
    return reach > local_reach * rows;
}

double product_and_scatter(const CsrMatrix &a, bool split, const double *x, double c, double *y,
                           ScatterSums &t) {
    return sweep(
        a, split, x, &t,
        [&](std::size_t i, double &acc) {
            const double sum = row_product(a, i, x);
            y[i] = c != 0.0 ? sum - c * y[i] : sum;  // y = A x - c y
            acc += y[i] * y[i];
        },
        [&](std::size_t i, double *tp) { row_scatter(a, i, y[i], tp); });  // A'y
}

double product_norm(const CsrMatrix &a, bool split, const double *p, double *q) {
    return sweep(
        a, split, p, nullptr,
        [&](std::size_t i, double &acc) {
            q[i] = row_product(a, i, p);  // q = A p
            acc += q[i] * q[i];
        },
        [](std::size_t, double *) {});
}

void step_and_scatter(const CsrMatrix &a, bool split, double alpha, const double *q, double *r,
                      ScatterSums &t) {
    sweep(
        a, split, nullptr, &t, [](std::size_t, double &) {},
        [&](std::size_t i, double *tp) {
            r[i] -= alpha * q[i];         // r -= alpha q
            row_scatter(a, i, r[i], tp);  // A'r
        });
}

double gather_minus_scaled(std::size_t n, ScatterSums &t, double s, const double *d, double c,
                           double *v) {
    return parallel_sum<1>(n, [&](std::size_t begin, std::size_t end, std::array<double, 1> &sum) {
        lane_sum<1>(begin, end, sum, [&](std::size_t j, double *acc) {
            const double aty = s * take(t, j);
            v[j] = (d != nullptr ? d[j] * aty : aty) - c * v[j];  // v = N' A'y s - c v
            acc[0] += v[j] * v[j];
        });
    })[0];
}

std::array<double, 2> gather_gradient(std::size_t n, ScatterSums &t, const double *d, double *g,
                                      double *z) {
    return parallel_sum<2>(n, [&](std::size_t begin, std::size_t end, std::array<double, 2> &s) {
        lane_sum<2>(begin, end, s, [&](std::size_t j, double *acc) {
            g[j] = take(t, j);  // g = A'r
            acc[0] += g[j] * g[j];
            if (d != nullptr) {
                z[j] = d[j] * (d[j] * g[j]);  // z = M^-1 g, M^-1 = diag(d)^2
                acc[1] += g[j] * z[j];
            }
        });
    });
}

void transposed_product(const CsrMatrix &a, bool split, const double *y, double *g,
                        ScatterSums &t) {
    const std::size_t n = static_cast<std::size_t>(a.cols);
    sweep(
        a, split, nullptr, &t, [](std::size_t, double &) {},
        [&](std::size_t i, double *tp) { row_scatter(a, i, y[i], tp); });
    parallel_for(n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t j = begin; j < end; ++j)
            g[j] = take(t, j);  // g = A'y
    });
}

double normal_gradient(const CsrMatrix &a, bool split, const double *b, const double *x,
                       const int *lift, double *r, double *g, ScatterSums &t) {
    const std::size_t n = static_cast<std::size_t>(a.cols);
    sweep(
        a, split, x, &t,
        [&](std::size_t i, double &) { r[i] = b[i] - row_product(a, i, x); },  // r = b - A x
        [&](std::size_t i, double *tp) { row_scatter(a, i, r[i], tp); });      // A'r
    parallel_for(n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t j = begin; j < end; ++j)
            g[j] = lift != nullptr ? std::ldexp(take(t, j), -lift[j]) : take(t, j);  // W A'r
    });
    return norm2(n, g);
}

void step_and_direction(std::size_t n, double alpha, double beta, const double *z, double *x,
                        double *p) {
    parallel_for(n, [=](std::size_t begin, std::size_t end) {
        for (std::size_t j = begin; j < end; ++j) {
            x[j] += alpha * p[j];       // update the iterate
            p[j] = z[j] + beta * p[j];  // and the direction
        }
    });
}

void lsmr_directions(std::size_t n, const double *d, double *v, double s, double *w, double c1,
                     double c2, double c3, double *h, double *hbar, double *x) {
    parallel_for(n, [=](std::size_t begin, std::size_t end) {
        for (std::size_t j = begin; j < end; ++j) {
            if (d != nullptr) {
                v[j] *= s;           // normalise v
                w[j] = d[j] * v[j];  // w = N v
            }
            hbar[j] = h[j] - c1 * hbar[j];  // hbar = h - c1 hbar
            x[j] += c2 * hbar[j];           // update the iterate
            h[j] = w[j] - c3 * h[j];        // h = N v - c3 h
        }
    });
}

}  // namespace brisvel
