// Fused vector passes for the Krylov methods, shared among the threads with
// reproducible sums.
#include "kernels/fused_ops.h"

#include "kernels/parallel.h"

#include <vector>

namespace brisvel {
namespace {

// (v_g, u) over [begin, end) for G vectors, added into s. Four lanes a
// vector, lane l taking the entries l mod 4, added up as lane_sum does; the
// lanes lie side by side, so that the compiler can use vector registers.
template <std::size_t G>
void group_dots(const double *const *v, const double *u, std::size_t begin, std::size_t end,
                double *s) {
    const double *w[G];
    for (std::size_t g = 0; g < G; ++g)
        w[g] = v[g];
    double acc[G][4] = {};
    std::size_t i = begin;
    for (; i + 4 <= end; i += 4)
        for (std::size_t g = 0; g < G; ++g)
            for (std::size_t l = 0; l < 4; ++l)
                acc[g][l] += w[g][i + l] * u[i + l];
    for (; i < end; ++i)
        for (std::size_t g = 0; g < G; ++g)
            acc[g][0] += w[g][i] * u[i];
    for (std::size_t g = 0; g < G; ++g)
        s[g] += (acc[g][0] + acc[g][1]) + (acc[g][2] + acc[g][3]);
}

// u -= sum_g c_g v_g over [begin, end) for G vectors, none of which is u.
template <std::size_t G>
void group_subtract(const double *c, const double *const *v, double *u, std::size_t begin,
                    std::size_t end) {
    double k[G];
    const double *__restrict w[G];
    for (std::size_t g = 0; g < G; ++g) {
        k[g] = c[g];
        w[g] = v[g];
    }
    double *__restrict out = u;
    for (std::size_t i = begin; i < end; ++i) {
        double sum = 0.0;
        for (std::size_t g = 0; g < G; ++g)
            sum += k[g] * w[g][i];
        out[i] -= sum;
    }
}

// Calls group<G>(j) over the vectors [0, count) in groups of four, then the rest.
template <class Group4, class Group2, class Group1>
void in_groups(std::size_t count, Group4 four, Group2 two, Group1 one) {
    std::size_t j = 0;
    for (; j + 4 <= count; j += 4)
        four(j);
    for (; j + 2 <= count; j += 2)
        two(j);
    if (j < count)
        one(j);
}

}  // namespace

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

std::array<double, 2> step_and_scale(std::size_t n, double alpha, const double *p, const double *q,
                                     const double *d, double *x, double *r, double *z) {
    return parallel_sum<2>(n, [&](std::size_t begin, std::size_t end, std::array<double, 2> &sum) {
        lane_sum<2>(begin, end, sum, [&](std::size_t i, double *acc) {
            x[i] += alpha * p[i];  // x += alpha p
            r[i] -= alpha * q[i];  // r -= alpha q
            acc[0] += r[i] * r[i];
            if (d != nullptr) {
                z[i] = d[i] * r[i];  // z = M^-1 r
                acc[1] += r[i] * z[i];
            }
        });
    });
}

void scaled_copy(std::size_t n, double a, const double *x, double *y) {
    parallel_for(n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i)
            y[i] = x[i] * a;  // y = a x
    });
}

double subtract_and_dot(std::size_t n, double a, const double *v, double *u, const double *w) {
    return parallel_sum<1>(n, [&](std::size_t begin, std::size_t end, std::array<double, 1> &sum) {
        lane_sum<1>(begin, end, sum, [&](std::size_t i, double *acc) {
            u[i] -= a * v[i];  // u -= a v
            acc[0] += u[i] * w[i];
        });
    })[0];
}

void combine(std::size_t n, const double *c, const double *const *v, std::size_t count,
             const double *d, double *x, double *w) {
    parallel_for(n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            double sum = 0.0;
            for (std::size_t j = 0; j < count; ++j)
                sum += c[j] * v[j][i];  // s_i = sum_j c_j (v_j)_i
            if (d != nullptr)
                x[i] += d[i] * sum;  // x += M^-1 s
            else
                w[i] = sum;
        }
    });
}

// A block of u stays in the cache while the vectors stream past it, four
// at a time: each vector is read once for all its sums.
void multi_dot(std::size_t n, const double *const *v, std::size_t count, const double *u,
               double *dots) {
    std::vector<const double *> w(v, v + count);
    w.push_back(u);  // (u, u) comes with the others
    parallel_sums(n, count + 1, dots, [&](std::size_t begin, std::size_t end, double *s) {
        in_groups(
            count + 1, [&](std::size_t j) { group_dots<4>(w.data() + j, u, begin, end, s + j); },
            [&](std::size_t j) { group_dots<2>(w.data() + j, u, begin, end, s + j); },
            [&](std::size_t j) { group_dots<1>(w.data() + j, u, begin, end, s + j); });
    });
}

double multi_subtract(std::size_t n, const double *c, const double *const *v, std::size_t count,
                      double *u) {
    double uu = 0.0;
    parallel_sums(
        n, 1, &uu,
        [&](std::size_t begin, std::size_t end, double *s) {
            in_groups(
                count, [&](std::size_t j) { group_subtract<4>(c + j, v + j, u, begin, end); },
                [&](std::size_t j) { group_subtract<2>(c + j, v + j, u, begin, end); },
                [&](std::size_t j) { group_subtract<1>(c + j, v + j, u, begin, end); });
            group_dots<1>(&u, u, begin, end, s);  // (u, u) of the new u
        },
        true);  // backward: the vectors' ends are still in the cache after multi_dot
    return uu;
}

void multi_subtract_dot(std::size_t n, const double *c, const double *const *v, std::size_t count,
                        double *u, double *dots) {
    std::vector<const double *> w(v, v + count);
    w.push_back(u);
    parallel_sums(n, count + 1, dots, [&](std::size_t begin, std::size_t end, double *s) {
        in_groups(
            count, [&](std::size_t j) { group_subtract<4>(c + j, v + j, u, begin, end); },
            [&](std::size_t j) { group_subtract<2>(c + j, v + j, u, begin, end); },
            [&](std::size_t j) { group_subtract<1>(c + j, v + j, u, begin, end); });
        in_groups(
            count + 1, [&](std::size_t j) { group_dots<4>(w.data() + j, u, begin, end, s + j); },
            [&](std::size_t j) { group_dots<2>(w.data() + j, u, begin, end, s + j); },
            [&](std::size_t j) { group_dots<1>(w.data() + j, u, begin, end, s + j); });
    });
}

}  // namespace brisvel
