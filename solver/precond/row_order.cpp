// Row orders and scalings for threshold ILU: equilibration, and the maximum-product transversal.
#include "precond/ilut.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <utility>

namespace brisvel {
namespace {

// True when every scale is a finite positive number.
bool usable(const Vector &scales) {
    return std::all_of(scales.begin(), scales.end(),
                       [](double s) { return s > 0.0 && s <= std::numeric_limits<double>::max(); });
}

// The columns of A: for each, its rows and -log of its entries' magnitudes
// relative to the column's largest (a cost of 0 or more), and the largest.
struct ColumnCosts {
    std::vector<std::int64_t> ptr;
    std::vector<std::int32_t> row;
    std::vector<double> cost;
    Vector largest;
};

// False when a column has no nonzero entry.
bool column_costs(const CsrMatrix &a, ColumnCosts &c) {
    const auto n = static_cast<std::size_t>(a.cols);
    c.ptr.assign(n + 1, 0);
    c.largest.assign(n, 0.0);
    for (std::size_t k = 0; k < a.col.size(); ++k)
        if (a.val[k] != 0.0) {
            const auto j = static_cast<std::size_t>(a.col[k]);
            ++c.ptr[j + 1];
            c.largest[j] = std::max(c.largest[j], std::fabs(a.val[k]));
        }
    for (std::size_t j = 0; j < n; ++j)
        c.ptr[j + 1] += c.ptr[j];
    c.row.resize(static_cast<std::size_t>(c.ptr[n]));
    c.cost.resize(c.row.size());
    std::vector<std::int64_t> next(c.ptr.begin(), c.ptr.end() - 1);
    for (std::size_t i = 0; i < static_cast<std::size_t>(a.rows); ++i)
        for (std::int64_t k = a.row_ptr[i]; k < a.row_ptr[i + 1]; ++k) {
            const double v = std::fabs(a.val.data()[k]);
            if (v == 0.0)
                continue;
            const auto j = static_cast<std::size_t>(a.col.data()[k]);
            const auto at = static_cast<std::size_t>(next[j]++);
            c.row[at] = static_cast<std::int32_t>(i);
            c.cost[at] = std::log(c.largest[j]) - std::log(v);  // log(max_i |a_ij| / |a_ij|) >= 0
        }
    return std::all_of(c.largest.begin(), c.largest.end(), [](double v) { return v > 0.0; });
}

}  // namespace

bool equilibrate(const CsrMatrix &a, RowOrder &order) {
    const auto n = static_cast<std::size_t>(a.rows);
    order.row_of.resize(n);
    order.row_scale.assign(n, 0.0);
    order.col_scale.assign(static_cast<std::size_t>(a.cols), 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        order.row_of[i] = static_cast<std::int32_t>(i);
        for (std::int64_t k = a.row_ptr[i]; k < a.row_ptr[i + 1]; ++k)
            order.row_scale[i] = std::max(order.row_scale[i], std::fabs(a.val.data()[k]));
        order.row_scale[i] = 1.0 / order.row_scale[i];  // 1 / max_j |a_ij|
    }
    if (!usable(order.row_scale))
        return false;
    for (std::size_t i = 0; i < n; ++i)
        for (std::int64_t k = a.row_ptr[i]; k < a.row_ptr[i + 1]; ++k) {
            double &s = order.col_scale[static_cast<std::size_t>(a.col.data()[k])];
            s = std::max(s, order.row_scale[i] * std::fabs(a.val.data()[k]));
        }
    for (double &s : order.col_scale)
        s = 1.0 / s;  // 1 / max_i |r_i a_ij|
    return usable(order.col_scale);
}

// Each column is matched to a row by a shortest augmenting path in the
// costs c_ij = log(max_k |a_kj| / |a_ij|), found by Dijkstra's method over
// reduced costs c_ij - u_j - v_i >= 0, which stay 0 on matched entries. The
// sum of the matched costs is least, so the product of the matched
// magnitudes is largest; exp(v_i) and exp(u_j) / max_k |a_kj| then scale
// each matched entry to 1 and no entry above it. Columns whose largest
// entry is in a row still free are matched to it first, with zero duals.
bool max_product_matching(const CsrMatrix &a, RowOrder &order) {
    const auto n = static_cast<std::size_t>(a.rows);
    ColumnCosts c;
    if (a.cols != a.rows || !column_costs(a, c))
        return false;
    constexpr double unreached = std::numeric_limits<double>::infinity();
    std::vector<double> u(n, 0.0), v(n, 0.0), dist(n, unreached);
    std::vector<std::int32_t> row_of(n, -1), col_of(n, -1), came_from(n, -1);
    for (std::size_t j = 0; j < n; ++j)  // the cheap start: a column's largest entry, if free
        for (std::int64_t k = c.ptr[j]; k < c.ptr[j + 1]; ++k) {
            const auto i = static_cast<std::size_t>(c.row[static_cast<std::size_t>(k)]);
            if (c.cost[static_cast<std::size_t>(k)] == 0.0 && col_of[i] < 0) {
                row_of[j] = static_cast<std::int32_t>(i);
                col_of[i] = static_cast<std::int32_t>(j);
                break;
            }
        }
    std::vector<char> done(n, 0);
    std::vector<std::int32_t> reached, settled, columns;
    std::vector<std::pair<double, std::int32_t>> heap;  // (distance, row), least on top
    const auto later = std::greater<std::pair<double, std::int32_t>>();
    for (std::size_t start = 0; start < n; ++start) {
        if (row_of[start] >= 0)
            continue;
        std::size_t j = start;
        double least = 0.0;  // the distance of the row settled last
        std::int32_t sink = -1;
        while (sink < 0) {
            columns.push_back(static_cast<std::int32_t>(j));
            for (std::int64_t k = c.ptr[j]; k < c.ptr[j + 1]; ++k) {
                const auto i = static_cast<std::size_t>(c.row[static_cast<std::size_t>(k)]);
                const double d = least + c.cost[static_cast<std::size_t>(k)] - u[j] - v[i];
                if (done[i] || !(d < dist[i]))
                    continue;
                if (dist[i] == unreached)
                    reached.push_back(static_cast<std::int32_t>(i));
                dist[i] = d;
                came_from[i] = static_cast<std::int32_t>(j);
                heap.emplace_back(d, static_cast<std::int32_t>(i));
                std::push_heap(heap.begin(), heap.end(), later);
            }
            std::int32_t next = -1;
            while (next < 0 && !heap.empty()) {
                std::pop_heap(heap.begin(), heap.end(), later);
                const auto [d, i] = heap.back();
                heap.pop_back();
                if (!done[static_cast<std::size_t>(i)] && d == dist[static_cast<std::size_t>(i)])
                    next = i;
            }
            if (next < 0)
                return false;  // no augmenting path: structurally singular
            const auto i = static_cast<std::size_t>(next);
            least = dist[i];
            done[i] = 1;
            settled.push_back(next);
            if (col_of[i] < 0)
                sink = next;
            else
                j = static_cast<std::size_t>(col_of[i]);
        }
        u[start] += least;  // the duals keep every reduced cost >= 0 and the path's at 0
        for (std::size_t q = 1; q < columns.size(); ++q) {
            const auto jq = static_cast<std::size_t>(columns[q]);
            u[jq] += least - dist[static_cast<std::size_t>(row_of[jq])];
        }
        for (std::int32_t i : settled)
            v[static_cast<std::size_t>(i)] -= least - dist[static_cast<std::size_t>(i)];
        for (std::int32_t i = sink;;) {  // flip the matching along the path
            const auto jq = static_cast<std::size_t>(came_from[static_cast<std::size_t>(i)]);
            col_of[static_cast<std::size_t>(i)] = static_cast<std::int32_t>(jq);
            std::swap(row_of[jq], i);
            if (jq == start)
                break;
        }
        for (std::int32_t i : reached)
            dist[static_cast<std::size_t>(i)] = unreached;
        for (std::int32_t i : settled)
            done[static_cast<std::size_t>(i)] = 0;
        reached.clear();
        settled.clear();
        columns.clear();
        heap.clear();
    }
    order.row_of = row_of;
    order.row_scale.resize(n);
    order.col_scale.resize(n);
    for (std::size_t j = 0; j < n; ++j) {
        order.row_scale[j] = std::exp(v[static_cast<std::size_t>(row_of[j])]);
        order.col_scale[j] = std::exp(u[j]) / c.largest[j];
    }
    return usable(order.row_scale) && usable(order.col_scale);
}

}  // namespace brisvel
