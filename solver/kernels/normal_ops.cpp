// Least-squares sweeps over A that scatter A'y into fixed parts, and the
// passes that add the parts, with reproducible sums.
#include "kernels/normal_ops.h"

#include "kernels/parallel.h"
#include "kernels/vector_ops.h"

#include <algorithm>
#include <cmath>

namespace brisvel {
namespace {

// Calls row(i, a_i, acc) for the rows of each part in order, with the part's
// targets and its accumulator; adds the parts' accumulators in order.
template <class Row> double sweep(const CsrMatrix &a, ScatterSums &t, Row row) {
    const std::size_t m = static_cast<std::size_t>(a.rows);
    std::array<double, scatter_parts> partial{};
    for_blocks(scatter_parts, team_size(m), [&](std::size_t p) {
        double acc = 0.0;
        for (std::size_t i = m * p / scatter_parts; i < m * (p + 1) / scatter_parts; ++i)
            row(i, t.part(p, 0), t.part(p, 1), acc);
        partial[p] = acc;
    });
    double total = 0.0;
    for (double s : partial)
        total += s;
    return total;
}

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

// Asks for the entries of x and t that row i + ahead will touch, unless
// that row is past last: the sweeps are bound by the latency of these
// scattered reads, not by bandwidth.
constexpr std::size_t ahead = 32;
inline void prefetch_row(const CsrMatrix &a, std::size_t i, std::size_t last, const double *x,
                         const double *t) {
#if defined(__GNUC__)
    if (i + ahead >= last)
        return;
    const std::int32_t *col = a.col.data();
    for (std::int64_t k = a.row_ptr[i + ahead]; k < a.row_ptr[i + ahead + 1]; ++k) {
        __builtin_prefetch(x + col[k]);
        __builtin_prefetch(t + col[k], 1);
    }
#else
    (void)a, (void)i, (void)last, (void)x, (void)t;
#endif
}

// The sum of target's parts at j, each part then cleared.
inline double take(ScatterSums &t, std::size_t target, std::size_t j) {
    double sum = 0.0;
    for (std::size_t p = 0; p < scatter_parts; ++p) {
        double *part = t.part(p, target);
        sum += part[j];
        part[j] = 0.0;
    }
    return sum;
}

}  // namespace

double product_and_scatter(const CsrMatrix &a, const double *x, double c, double *y,
                           ScatterSums &t) {
    const std::size_t m = static_cast<std::size_t>(a.rows);
    return sweep(a, t, [&](std::size_t i, double *t0, double *, double &acc) {
        prefetch_row(a, i, m, x, t0);
        const double sum = row_product(a, i, x);
        y[i] = c != 0.0 ? sum - c * y[i] : sum;  // y = A x - c y
        acc += y[i] * y[i];
        row_scatter(a, i, y[i], t0);  // A'y
    });
}

double cgls_sweep(const CsrMatrix &a, const double *p, double alpha, double *q, double *r,
                  ScatterSums &t) {
    return sweep(a, t, [&](std::size_t i, double *t0, double *t1, double &acc) {
        r[i] -= alpha * q[i];         // r -= alpha q, the last step's
        q[i] = row_product(a, i, p);  // q = A p
        acc += q[i] * q[i];
        const auto end = static_cast<std::size_t>(a.row_ptr[i + 1]);
        for (auto k = static_cast<std::size_t>(a.row_ptr[i]); k < end; ++k) {
            t0[a.col[k]] += a.val[k] * q[i];  // A'q
            t1[a.col[k]] += a.val[k] * r[i];  // A'r
        }
    });
}

double gather_minus_scaled(std::size_t n, ScatterSums &t, double s, const double *d, double c,
                           double *v) {
    return parallel_sum<1>(n, [&](std::size_t begin, std::size_t end, std::array<double, 1> &sum) {
        lane_sum<1>(begin, end, sum, [&](std::size_t j, double *acc) {
            const double aty = s * take(t, 0, j);
            v[j] = (d != nullptr ? d[j] * aty : aty) - c * v[j];  // v = N' A'y s - c v
            acc[0] += v[j] * v[j];
        });
    })[0];
}

std::array<double, 2> gather_gradient(std::size_t n, ScatterSums &t, double alpha, const double *d,
                                      double *g, double *z) {
    return parallel_sum<2>(n, [&](std::size_t begin, std::size_t end, std::array<double, 2> &s) {
        lane_sum<2>(begin, end, s, [&](std::size_t j, double *acc) {
            const double atq = take(t, 0, j);
            g[j] = take(t, 1, j) - alpha * atq;  // g = A'(r - alpha q)
            acc[0] += g[j] * g[j];
            if (d != nullptr) {
                z[j] = d[j] * (d[j] * g[j]);  // z = M^-1 g, M^-1 = diag(d)^2
                acc[1] += g[j] * z[j];
            }
        });
    });
}

void transposed_product(const CsrMatrix &a, const double *y, double *g) {
    const std::size_t n = static_cast<std::size_t>(a.cols);
    ScatterSums t(n, 1);
    sweep(a, t,
          [&](std::size_t i, double *t0, double *, double &) { row_scatter(a, i, y[i], t0); });
    parallel_for(n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t j = begin; j < end; ++j)
            g[j] = take(t, 0, j);  // g = A'y
    });
}

double normal_gradient(const CsrMatrix &a, const double *b, const double *x, const int *lift,
                       double *r, double *g) {
    const std::size_t n = static_cast<std::size_t>(a.cols);
    const std::size_t m = static_cast<std::size_t>(a.rows);
    ScatterSums t(n, 1);
    sweep(a, t, [&](std::size_t i, double *t0, double *, double &) {
        prefetch_row(a, i, m, x, t0);
        r[i] = b[i] - row_product(a, i, x);  // r = b - A x
        row_scatter(a, i, r[i], t0);         // A'r
    });
    parallel_for(n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t j = begin; j < end; ++j)
            g[j] = lift != nullptr ? std::ldexp(take(t, 0, j), -lift[j]) : take(t, 0, j);  // W A'r
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
