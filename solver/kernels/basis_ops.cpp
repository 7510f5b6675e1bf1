// Multi-vector passes for orthogonalising against a Krylov basis, shared
// among the threads with reproducible sums.
#include "kernels/basis_ops.h"

#include "kernels/parallel.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>
#include <vector>

namespace brisvel {
namespace {

// Two doubles side by side, so that sums over pairs of entries run two at a
// time in every build; each lane's order of addition is fixed by the code.
typedef double Pair __attribute__((vector_size(16)));

inline Pair load(const double *p) {
    Pair x;
    std::memcpy(&x, p, sizeof x);
    return x;
}

// Adds (v_q, w) into s[q] for the Q vectors v over [begin, end), Q at a
// time, so that w is read once for all of them. With Own, adds (u, u),
// (u, w) and (w, w) into s[Q ..] too.
template <std::size_t Q, bool Own>
void project_group(const double *const *v, const double *u, const double *w, std::size_t begin,
                   std::size_t end, double *s) {
    Pair sw[Q + 1] = {}, own[3] = {};  // (one spare, so that Q = 0 is allowed)
    std::size_t i = begin;
    for (; i + 2 <= end; i += 2) {
        const Pair wi = load(w + i);
        for (std::size_t q = 0; q < Q; ++q)
            sw[q] += load(v[q] + i) * wi;  // (v_q, w)
        if (Own) {
            const Pair ui = load(u + i);
            own[0] += ui * ui;  // (u, u)
            own[1] += ui * wi;  // (u, w)
            own[2] += wi * wi;  // (w, w)
        }
    }
    const bool tail = i < end;
    for (std::size_t q = 0; q < Q; ++q)
        s[q] += (sw[q][0] + sw[q][1]) + (tail ? v[q][i] * w[i] : 0.0);
    if (Own) {
        s[Q] += (own[0][0] + own[0][1]) + (tail ? u[i] * u[i] : 0.0);
        s[Q + 1] += (own[1][0] + own[1][1]) + (tail ? u[i] * w[i] : 0.0);
        s[Q + 2] += (own[2][0] + own[2][1]) + (tail ? w[i] * w[i] : 0.0);
    }
}

// s = V c over len entries from offset o, for Q vectors at a time; added to
// what s holds unless first.
template <std::size_t Q>
void sum_group(const double *const *v, const double *c, std::size_t o, std::size_t len, bool first,
               double *s) {
    std::size_t i = 0;
    for (; i + 4 <= len; i += 4) {  // two pairs at a time, for more loads in flight
        Pair s0 = first ? Pair{} : load(s + i), s1 = first ? Pair{} : load(s + i + 2);
        for (std::size_t q = 0; q < Q; ++q) {
            s0 += c[q] * load(v[q] + o + i);  // (V c)_i
            s1 += c[q] * load(v[q] + o + i + 2);
        }
        std::memcpy(s + i, &s0, sizeof s0);
        std::memcpy(s + i + 2, &s1, sizeof s1);
    }
    for (; i < len; ++i) {
        double si = first ? 0.0 : s[i];
        for (std::size_t q = 0; q < Q; ++q)
            si += c[q] * v[q][o + i];
        s[i] = si;
    }
}

// Calls group<Q>(first, Q) over the count vectors, eight at a time, then
// four, then the rest, in an order fixed by count alone.
template <class Group> void by_groups(std::size_t count, Group group) {
    std::size_t j = 0;
    for (; j + 8 <= count; j += 8)
        group(std::integral_constant<std::size_t, 8>{}, j);
    for (; j + 4 <= count; j += 4)
        group(std::integral_constant<std::size_t, 4>{}, j);
    switch (count - j) {
    case 3:
        group(std::integral_constant<std::size_t, 3>{}, j);
        break;
    case 2:
        group(std::integral_constant<std::size_t, 2>{}, j);
        break;
    case 1:
        group(std::integral_constant<std::size_t, 1>{}, j);
        break;
    case 0:
        break;
    }
}

// Adds the sums of project over [begin, end) into s: groups of basis vectors
// one after another over the block, so that the block of w stays in the
// cache; the first group also takes the products of u and w.
void project_block(const double *const *v, std::size_t count, const double *u, const double *w,
                   std::size_t begin, std::size_t end, double *s) {
    double part[11];
    if (count == 0) {
        std::fill(part, part + 3, 0.0);
        project_group<0, true>(v, u, w, begin, end, part);
        std::copy(part, part + 3, s);
    }
    by_groups(count, [&](auto group, std::size_t j) {
        constexpr std::size_t q = decltype(group)::value;
        std::fill(part, part + q + 3, 0.0);
        if (j == 0)
            project_group<q, true>(v + j, u, w, begin, end, part);
        else
            project_group<q, false>(v + j, u, w, begin, end, part);
        for (std::size_t p = 0; p < q; ++p)
            s[j + p] += part[p];
        if (j == 0)
            for (std::size_t k = 0; k < 3; ++k)
                s[count + k] += part[q + k];
    });
}

// The update of orthogonalise over [begin, end), u left alone when null;
// returns the block's share of (w, w).
double orthogonalise_block(const double *const *v, std::size_t count, const double *b,
                           double inverse_rho, double beta, double *u, double *w, std::size_t begin,
                           std::size_t end) {
    constexpr std::size_t chunk = 4096;  // entries whose combination stays in the first cache
    double lanes[4] = {};
    for (std::size_t c = begin; c < end; c += chunk) {
        const std::size_t len = std::min(chunk, end - c);
        double vb[chunk];
        if (count == 0)
            std::fill(vb, vb + len, 0.0);
        by_groups(count, [&](auto group, std::size_t j) {
            sum_group<decltype(group)::value>(v + j, b + j, c, len, j == 0, vb);
        });
        std::size_t i = 0;
        for (; i + 4 <= len; i += 4)  // four lanes, two at a time
            for (std::size_t h = 0; h < 4; h += 2) {
                const std::size_t e = c + i + h;
                Pair ui{};
                if (u != nullptr) {
                    ui = load(u + e) * inverse_rho;
                    std::memcpy(u + e, &ui, sizeof ui);  // u = u / rho
                }
                const Pair wi = (load(w + e) - load(vb + i + h) - beta * ui) * inverse_rho;
                std::memcpy(w + e, &wi, sizeof wi);  // w = (w - V b - beta u) / rho
                lanes[h] += wi[0] * wi[0];
                lanes[h + 1] += wi[1] * wi[1];
            }
        for (; i < len; ++i) {
            double ui = 0.0;
            if (u != nullptr)
                u[c + i] = ui = u[c + i] * inverse_rho;
            const double wi = (w[c + i] - vb[i] - beta * ui) * inverse_rho;
            w[c + i] = wi;
            lanes[i % 4] += wi * wi;
        }
    }
    return (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
}

}  // namespace

void project(std::size_t n, const double *const *v, std::size_t count, const double *u,
             const double *w, const MakeEntries &make_w, double *out) {
    const std::vector<double> sums =
        parallel_sums(n, count + 3, [&](std::size_t begin, std::size_t end, double *s) {
            make_w(begin, end);
            project_block(v, count, u, w, begin, end, s);
        });
    std::copy(sums.begin(), sums.end(), out);
}

double orthogonalise(std::size_t n, const double *const *v, std::size_t count, const double *b,
                     double rho, double beta, double *u, double *w) {
    const double inverse_rho = 1.0 / rho;
    return parallel_sum<1>(n, [&](std::size_t begin, std::size_t end, std::array<double, 1> &sum) {
        sum[0] += orthogonalise_block(v, count, b, inverse_rho, beta, u, w, begin, end);
    })[0];
}

double orthogonalise_and_project(std::size_t n, const double *const *v, std::size_t count,
                                 const double *b, double rho, double beta, double *u, double *w,
                                 double *next_w, const MakeEntries &make_next_w, double *out) {
    const double inverse_rho = 1.0 / rho;
    const std::size_t blocks = (n + block_size - 1) / block_size, sums = count + 4;
    std::vector<double> remainder(blocks, 0.0), partial(blocks * sums, 0.0);
    auto range = [&](std::size_t block) {
        return std::make_pair(block * block_size, std::min(block * block_size + block_size, n));
    };
    auto update = [&](std::size_t block) {  // this step's second pass, on one block
        const auto [begin, end] = range(block);
        remainder[block] += orthogonalise_block(v, count, b, inverse_rho, beta, u, w, begin, end);
    };
    auto next = [&](std::size_t block) {  // the next step's first, on one block
        const auto [begin, end] = range(block);
        make_next_w(begin, end);
        project_block(v, count + 1, w, next_w, begin, end, partial.data() + block * sums);
    };
    // Each thread updates the first and last blocks of its run, for its
    // neighbours to read; then its run, each block's projection one block
    // behind its update, so that the block is still in the caches.
    for_runs(blocks, team_size(n), [&](std::size_t lo, std::size_t hi, auto sync) {
        if (lo < hi) {
            update(lo);
            if (hi - 1 > lo)
                update(hi - 1);
        }
        sync();
        for (std::size_t block = lo; block < hi; ++block) {
            if (block + 1 < hi - 1)
                update(block + 1);
            next(block);
        }
    });
    double total = 0.0;
    for (double r : remainder)
        total += r;
    std::fill(out, out + sums, 0.0);
    for (std::size_t block = 0; block < blocks; ++block)
        for (std::size_t k = 0; k < sums; ++k)
            out[k] += partial[block * sums + k];
    return total;
}

double project_out(std::size_t n, const double *const *v, std::size_t count, double *w, double *c) {
    const std::vector<double> sums =
        parallel_sums(n, count + 3, [&](std::size_t begin, std::size_t end, double *s) {
            project_block(v, count, w, w, begin, end, s);
        });
    std::copy(sums.begin(), sums.begin() + static_cast<std::ptrdiff_t>(count), c);  // c = V'w
    return parallel_sum<1>(n, [&](std::size_t begin, std::size_t end, std::array<double, 1> &sum) {
        sum[0] += orthogonalise_block(v, count, c, 1.0, 0.0, nullptr, w, begin, end);  // w -= V c
    })[0];
}

void combine_basis(std::size_t n, const double *c, const double *const *v, std::size_t count,
                   const double *d, double *x, double *w) {
    constexpr std::size_t chunk = 512;
    parallel_for(n, [&](std::size_t begin, std::size_t end) {
        double s[chunk];
        for (std::size_t o = begin; o < end; o += chunk) {
            const std::size_t len = std::min(chunk, end - o);
            if (count == 0)
                std::fill(s, s + len, 0.0);
            by_groups(count, [&](auto group, std::size_t j) {
                sum_group<decltype(group)::value>(v + j, c + j, o, len, j == 0, s);
            });
            for (std::size_t i = 0; i < len; ++i) {
                if (d != nullptr)
                    x[o + i] += d[o + i] * s[i];  // x += diag(d) V c
                else
                    w[o + i] = s[i];  // w = V c
            }
        }
    });
}

}  // namespace brisvel
