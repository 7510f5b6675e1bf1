// Strength of connection, greedy aggregation and the smoothed prolongator.
#include "precond/amg/aggregation.h"

#include "kernels/parallel.h"

#include <algorithm>
#include <cmath>

namespace brisvel {

std::vector<unsigned char> strong_entries(const CsrMatrix &a, const Vector &diagonal,
                                          double theta) {
    std::vector<unsigned char> strong(static_cast<std::size_t>(a.nonzeros()), 0);
    parallel_for(static_cast<std::size_t>(a.rows), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i)
            for (auto k = static_cast<std::size_t>(a.row_ptr[i]);
                 k < static_cast<std::size_t>(a.row_ptr[i + 1]); ++k) {
                const auto j = static_cast<std::size_t>(a.col[k]);
                strong[k] = j != i && std::fabs(a.val[k]) >=
                                          theta * std::sqrt(std::fabs(diagonal[i] * diagonal[j]));
            }
    });
    return strong;
}

std::vector<unsigned char> kept_entries(const CsrMatrix &a, double fraction) {
    std::vector<unsigned char> kept(static_cast<std::size_t>(a.nonzeros()), 0);
    parallel_for(static_cast<std::size_t>(a.rows), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const auto first = static_cast<std::size_t>(a.row_ptr[i]);
            const auto last = static_cast<std::size_t>(a.row_ptr[i + 1]);
            double largest = 0.0;  // the row's largest entry off the diagonal
            for (std::size_t k = first; k < last; ++k)
                if (static_cast<std::size_t>(a.col[k]) != i)
                    largest = std::max(largest, std::fabs(a.val[k]));
            for (std::size_t k = first; k < last; ++k)
                kept[k] = static_cast<std::size_t>(a.col[k]) != i &&
                          std::fabs(a.val[k]) >= fraction * largest;
        }
    });
    return kept;
}

Aggregates aggregate(const CsrMatrix &a, const std::vector<unsigned char> &strong) {
    const auto n = static_cast<std::size_t>(a.rows);
    constexpr std::int32_t free = -2, left_out = -1;
    Aggregates g;
    g.of.assign(n, free);
    auto entries = [&](std::size_t i) {
        return std::make_pair(static_cast<std::size_t>(a.row_ptr[i]),
                              static_cast<std::size_t>(a.row_ptr[i + 1]));
    };
    // Pass 1: an unknown whose strong neighbours are all free starts an
    // aggregate with them.
    for (std::size_t i = 0; i < n; ++i) {
        if (g.of[i] != free)
            continue;
        const auto [first, last] = entries(i);
        bool any = false, all_free = true;
        for (std::size_t k = first; k < last; ++k)
            if (strong[k]) {
                any = true;
                all_free = all_free && g.of[static_cast<std::size_t>(a.col[k])] == free;
            }
        if (!any) {
            g.of[i] = left_out;
            continue;
        }
        if (!all_free)
            continue;
        g.of[i] = g.count;
        for (std::size_t k = first; k < last; ++k)
            if (strong[k])
                g.of[static_cast<std::size_t>(a.col[k])] = g.count;
        ++g.count;
    }
    // Pass 2: an unknown left over joins the aggregate of its strongest
    // neighbour that has one from pass 1.
    const std::vector<std::int32_t> first_pass = g.of;
    for (std::size_t i = 0; i < n; ++i) {
        if (g.of[i] != free)
            continue;
        const auto [first, last] = entries(i);
        double strongest = 0.0;
        for (std::size_t k = first; k < last; ++k) {
            const std::int32_t to = first_pass[static_cast<std::size_t>(a.col[k])];
            if (strong[k] && to >= 0 && std::fabs(a.val[k]) > strongest) {
                strongest = std::fabs(a.val[k]);
                g.of[i] = to;
            }
        }
    }
    // Pass 3: what is still free starts aggregates with its free strong
    // neighbours.
    for (std::size_t i = 0; i < n; ++i) {
        if (g.of[i] != free)
            continue;
        const auto [first, last] = entries(i);
        g.of[i] = g.count;
        for (std::size_t k = first; k < last; ++k)
            if (strong[k] && g.of[static_cast<std::size_t>(a.col[k])] == free)
                g.of[static_cast<std::size_t>(a.col[k])] = g.count;
        ++g.count;
    }
    return g;
}

bool paired_unknowns(const CsrMatrix &a) {
    const auto n = static_cast<std::size_t>(a.rows);
    if (n < 2 || n % 2 != 0)
        return false;
    for (std::size_t p = 0; p < n; p += 2) {
        const auto first = static_cast<std::size_t>(a.row_ptr[p]);
        const auto middle = static_cast<std::size_t>(a.row_ptr[p + 1]);
        const auto last = static_cast<std::size_t>(a.row_ptr[p + 2]);
        const std::size_t length = middle - first;
        if (last - middle != length || length % 2 != 0)
            return false;
        for (std::size_t k = 0; k < length; k += 2) {
            const std::int32_t j = a.col[first + k];
            if (j % 2 != 0 || a.col[first + k + 1] != j + 1 || a.col[middle + k] != j ||
                a.col[middle + k + 1] != j + 1)
                return false;
        }
    }
    return true;
}

Aggregates aggregate_pairs(const CsrMatrix &a, const std::vector<unsigned char> &strong) {
    // The graph of the nodes: an entry for each pair of nodes whose 2 x 2
    // block holds a strong entry, valued by the block's largest strong
    // entry, which the second pass of the aggregation compares.
    const auto nodes = static_cast<std::size_t>(a.rows) / 2;
    CsrMatrix g;
    g.rows = g.cols = static_cast<std::int32_t>(nodes);
    g.row_ptr.assign(nodes + 1, 0);
    std::vector<unsigned char> node_strong;
    for (std::size_t p = 0; p < nodes; ++p) {
        const auto first = static_cast<std::size_t>(a.row_ptr[2 * p]);
        const auto middle = static_cast<std::size_t>(a.row_ptr[2 * p + 1]);
        for (std::size_t k = 0; first + k < middle; k += 2) {  // the row pair's blocks
            double largest = 0.0;
            bool any = false;
            for (std::size_t e : {first + k, first + k + 1, middle + k, middle + k + 1})
                if (strong[e]) {
                    any = true;
                    largest = std::max(largest, std::fabs(a.val[e]));
                }
            g.col.push_back(a.col[first + k] / 2);
            g.val.push_back(largest);
            node_strong.push_back(any ? 1 : 0);
        }
        g.row_ptr[p + 1] = static_cast<std::int64_t>(g.col.size());
    }
    const Aggregates of_nodes = aggregate(g, node_strong);
    Aggregates out;
    out.count = 2 * of_nodes.count;
    out.of.resize(2 * nodes);
    for (std::size_t p = 0; p < nodes; ++p)
        for (std::size_t c = 0; c < 2; ++c)
            out.of[2 * p + c] =
                of_nodes.of[p] < 0 ? -1 : 2 * of_nodes.of[p] + static_cast<std::int32_t>(c);
    return out;
}

CsrMatrix smoothed_prolongator(const CsrMatrix &a, const std::vector<unsigned char> &kept,
                               const Aggregates &aggregates, Vector &near_null) {
    const auto n = static_cast<std::size_t>(a.rows);
    // P_0's column for aggregate g: the near-null vector on g, scaled to unit
    // length; the coarse near-null vector holds the lengths.
    Vector length(static_cast<std::size_t>(aggregates.count), 0.0);
    for (std::size_t i = 0; i < n; ++i)
        if (aggregates.of[i] >= 0)
            length[static_cast<std::size_t>(aggregates.of[i])] += near_null[i] * near_null[i];
    for (double &l : length)
        l = std::sqrt(l);
    Vector p0(n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        const std::int32_t g = aggregates.of[i];
        if (g >= 0 && length[static_cast<std::size_t>(g)] > 0.0)
            p0[i] = near_null[i] / length[static_cast<std::size_t>(g)];
    }
    // The filtered diagonal d_F, and omega from the largest Gershgorin bound
    // (a maximum: the same on any team).
    Vector filtered(n);
    std::vector<double> rho_of_block((n + block_size - 1) / block_size, 0.0);
    std::size_t longest = 0;
    for (std::size_t i = 0; i < n; ++i)
        longest = std::max(longest, static_cast<std::size_t>(a.row_ptr[i + 1] - a.row_ptr[i]));
    for_blocks(rho_of_block.size(), team_size(n), [&](std::size_t b) {
        double rho = 0.0;
        for (std::size_t i = b * block_size; i < std::min(n, (b + 1) * block_size); ++i) {
            double d = 0.0, off = 0.0;
            for (auto k = static_cast<std::size_t>(a.row_ptr[i]);
                 k < static_cast<std::size_t>(a.row_ptr[i + 1]); ++k) {
                if (!kept[k])
                    d += a.val[k];  // the diagonal, with the entries dropped lumped in
                else
                    off += std::fabs(a.val[k]);
            }
            filtered[i] = d;
            if (d != 0.0)
                rho = std::max(rho, 1.0 + off / std::fabs(d));
        }
        rho_of_block[b] = rho;
    });
    const double rho = *std::max_element(rho_of_block.begin(), rho_of_block.end());
    const double omega = rho > 0.0 ? 4.0 / (3.0 * rho) : 0.0;
    // Row i of P: p0_i at its own aggregate, less omega / d_F,i times
    // sum_j a_F,ij p0_j at each neighbour's aggregate; columns ascending,
    // each column's terms added in the order of the row's entries.
    struct Term {
        std::int32_t col;
        double val;
    };
    auto row_of = [&](std::size_t i, Term *terms) {
        std::size_t count = 0;
        auto add = [&](std::int32_t g, double v) {
            if (g < 0)
                return;
            std::size_t t = 0;
            while (t < count && terms[t].col < g)
                ++t;
            if (t < count && terms[t].col == g) {
                terms[t].val += v;
                return;
            }
            for (std::size_t u = count; u > t; --u)
                terms[u] = terms[u - 1];
            terms[t] = Term{g, v};
            ++count;
        };
        const double scale = filtered[i] != 0.0 ? omega / filtered[i] : 0.0;
        add(aggregates.of[i], p0[i] * (1.0 - scale * filtered[i]));
        for (auto k = static_cast<std::size_t>(a.row_ptr[i]);
             k < static_cast<std::size_t>(a.row_ptr[i + 1]); ++k)
            if (kept[k])
                add(aggregates.of[static_cast<std::size_t>(a.col[k])],
                    -scale * a.val[k] * p0[static_cast<std::size_t>(a.col[k])]);
        std::size_t nonzero = 0;
        for (std::size_t t = 0; t < count; ++t)
            if (terms[t].val != 0.0)
                terms[nonzero++] = terms[t];
        return nonzero;
    };
    CsrMatrix p;
    p.rows = a.rows;
    p.cols = aggregates.count;
    p.row_ptr.assign(n + 1, 0);
    const std::size_t blocks = (n + block_size - 1) / block_size;
    const int team = team_size(n);
    std::vector<std::vector<Term>> scratch(static_cast<std::size_t>(team),
                                           std::vector<Term>(longest + 1));
    for_blocks(blocks, team, [&](std::size_t b) {
        Term *terms = scratch[thread_index()].data();
        for (std::size_t i = b * block_size; i < std::min(n, (b + 1) * block_size); ++i)
            p.row_ptr[i + 1] = static_cast<std::int64_t>(row_of(i, terms));
    });
    for (std::size_t i = 0; i < n; ++i)
        p.row_ptr[i + 1] += p.row_ptr[i];
    p.col.resize(static_cast<std::size_t>(p.row_ptr[n]));
    p.val.resize(static_cast<std::size_t>(p.row_ptr[n]));
    for_blocks(blocks, team, [&](std::size_t b) {
        Term *terms = scratch[thread_index()].data();
        for (std::size_t i = b * block_size; i < std::min(n, (b + 1) * block_size); ++i) {
            const std::size_t count = row_of(i, terms);
            const auto first = static_cast<std::size_t>(p.row_ptr[i]);
            for (std::size_t t = 0; t < count; ++t) {
                p.col[first + t] = terms[t].col;
                p.val[first + t] = terms[t].val;
            }
        }
    });
    near_null.swap(length);
    return p;
}

}  // namespace brisvel
