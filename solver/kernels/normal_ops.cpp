// Least-squares passes over A and its stored transpose, with reproducible sums.
#include "kernels/normal_ops.h"

#include "kernels/parallel.h"
#include "kernels/row_product.h"
#include "kernels/vector_ops.h"

#include <cmath>

namespace brisvel {

double product_minus_scaled(const CsrMatrix &a, const double *x, double c, double *y) {
    const std::size_t m = static_cast<std::size_t>(a.rows);
    return parallel_sum<1>(m, [&](std::size_t begin, std::size_t end, std::array<double, 1> &s) {
        product_rows<1>(a, x, y, begin, end, s, [=](std::size_t i, double sum, double *acc) {
            const double yi = c != 0.0 ? sum - c * y[i] : sum;  // y = A x - c y
            acc[0] += yi * yi;
            return yi;
        });
    })[0];
}

double transposed_minus_scaled(const CsrMatrix &at, const double *u, double s, const double *d,
                               double c, double *v) {
    const std::size_t n = static_cast<std::size_t>(at.rows);
    return parallel_sum<1>(n, [&](std::size_t begin, std::size_t end, std::array<double, 1> &sum) {
        product_rows<1>(at, u, v, begin, end, sum, [=](std::size_t j, double row, double *acc) {
            const double scaled = d != nullptr ? d[j] * (s * row) : s * row;  // N' A'u s
            const double vj = scaled - c * v[j];                              // v = ... - c v
            acc[0] += vj * vj;
            return vj;
        });
    })[0];
}

std::array<double, 2> transposed_product(const CsrMatrix &at, const double *r, const double *d,
                                         double *g, double *z) {
    const std::size_t n = static_cast<std::size_t>(at.rows);
    return parallel_sum<2>(n, [&](std::size_t begin, std::size_t end, std::array<double, 2> &s) {
        product_rows<2>(at, r, g, begin, end, s, [=](std::size_t j, double gj, double *acc) {
            acc[0] += gj * gj;  // (g, g)
            if (d != nullptr) {
                z[j] = d[j] * (d[j] * gj);  // z = M^-1 g, M^-1 = diag(d)^2
                acc[1] += gj * z[j];
            }
            return gj;  // g = A'r
        });
    });
}

double normal_gradient(const CsrMatrix &a, const CsrMatrix &at, const double *b, const double *x,
                       const int *lift, double *r, double *g) {
    const std::size_t m = static_cast<std::size_t>(a.rows), n = static_cast<std::size_t>(at.rows);
    parallel_for(m, [&](std::size_t begin, std::size_t end) {
        std::array<double, 0> none;
        product_rows<0>(a, x, r, begin, end, none,
                        [=](std::size_t i, double sum, double *) { return b[i] - sum; });
    });                                              // r = b - A x
    transposed_product(at, r, nullptr, g, nullptr);  // g = A'r
    if (lift != nullptr)
        for (std::size_t j = 0; j < n; ++j)
            g[j] = std::ldexp(g[j], lift[j]);  // W g
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
