// Fused vector passes for the Krylov methods, shared among the threads with
// reproducible sums.
#include "kernels/fused_ops.h"

#include "kernels/parallel.h"

namespace brisvel {
void update_direction(std::size_t n, const double *r, double beta, double omega, const double *v,
                      double *p, const double *d, double *y) {
    parallel_for(n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            p[i] = r[i] + beta * (p[i] - omega * v[i]);  // p = r + beta (p - omega v)
            if (d != nullptr)
                y[i] = d[i] * p[i];  // y = M^-1 p
        }
    });
}

double subtract_scaled(std::size_t n, double alpha, const double *v, double *r, const double *d,
                       double *z) {
    return parallel_sum<1>(n, [&](std::size_t begin, std::size_t end, std::array<double, 1> &sum) {
        lane_sum<1>(begin, end, sum, [&](std::size_t i, double *acc) {
            r[i] -= alpha * v[i];  // r -= alpha v
            if (d != nullptr)
                z[i] = d[i] * r[i];  // z = M^-1 r
            acc[0] += r[i] * r[i];
        });
    })[0];
}

std::array<double, 2> update_iterate_and_residual(std::size_t n, double alpha, const double *y,
                                                  double omega, const double *z, const double *t,
                                                  const double *w, double *x, double *r) {
    return parallel_sum<2>(n, [&](std::size_t begin, std::size_t end, std::array<double, 2> &sum) {
        lane_sum<2>(begin, end, sum, [&](std::size_t i, double *acc) {
            x[i] += alpha * y[i] + omega * z[i];  // update the iterate
            r[i] -= omega * t[i];                 // and its residual
            acc[0] += r[i] * r[i];
            acc[1] += w[i] * r[i];
        });
    });
}

namespace {

// step_and_scale, with z stored or not: the choice is made once, outside the
// loop, and the scalars are copied in, so that the loop reads only the vectors.
template <bool store_z>
std::array<double, 2> step_pass(std::size_t n, double alpha, const double *p, const double *q,
                                const double *d, double *x, double *r, double *z) {
    return parallel_sum<2>(n, [=](std::size_t begin, std::size_t end, std::array<double, 2> &sum) {
        lane_sum<2>(begin, end, sum, [=](std::size_t i, double *acc) {
            x[i] += alpha * p[i];  // x += alpha p
            r[i] -= alpha * q[i];  // r -= alpha q
            acc[0] += r[i] * r[i];
            if (d != nullptr) {
                const double zi = d[i] * r[i];  // z = M^-1 r
                if (store_z)
                    z[i] = zi;
                acc[1] += r[i] * zi;
            }
        });
    });
}

}  // namespace

std::array<double, 2> step_and_scale(std::size_t n, double alpha, const double *p, const double *q,
                                     const double *d, double *x, double *r, double *z) {
    return z != nullptr ? step_pass<true>(n, alpha, p, q, d, x, r, z)
                        : step_pass<false>(n, alpha, p, q, d, x, r, z);
}

void scaled_direction(std::size_t n, const double *d, const double *r, double beta, double *p) {
    parallel_for(n, [=](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const double zi = d[i] * r[i];  // z = M^-1 r, rounded as when it is stored
            p[i] = zi + beta * p[i];
        }
    });
}

void scaled_copy(std::size_t n, double a, const double *x, double *y) {
    parallel_for(n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i)
            y[i] = x[i] * a;  // y = a x
    });
}

}  // namespace brisvel
