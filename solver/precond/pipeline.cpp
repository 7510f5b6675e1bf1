// Plans for sharing a triangular sweep among a team: blocks, owners and waits, chosen by
// simulation.
#include "precond/pipeline.h"

#include <algorithm>

namespace brisvel {
namespace {

// What a wait on another thread costs, in entries read (about 1.2 ns
// each): about the time a cache line takes to pass from one core to
// another. And what each block costs besides its rows: the thread's
// progress, which others read, comes back to it before it can write it.
constexpr double wait_cost = 128.0;
constexpr double block_cost = 64.0;
// The simulated sweep must take at most this share of one thread's time.
constexpr double worth_it = 0.75;

// The positions each position of a sweep reads, all before it.
struct Reads {
    const CsrMatrix &half;
    bool lower;
    std::size_t n;

    std::size_t row(std::size_t q) const { return lower ? q : n - 1 - q; }
    template <class Visit> void each(std::size_t q, Visit visit) const {
        const std::size_t i = row(q);
        for (std::int64_t k = half.row_ptr[i]; k < half.row_ptr[i + 1]; ++k) {
            const auto j = static_cast<std::size_t>(half.col.data()[k]);
            visit(lower ? j : n - 1 - j);
        }
    }
    // A position's cost: the entries it reads, and its own.
    double weight(std::size_t q) const {
        const std::size_t i = row(q);
        return 1.0 + static_cast<double>(half.row_ptr[i + 1] - half.row_ptr[i]);
    }
};

// Blocks and their threads: units start at the positions that read nothing
// within reach before them, and each unit is cut into pieces, piece p of
// every unit going to thread p * team / pieces.
struct Cut {
    std::vector<std::int32_t> begin;  // one more entry than blocks
    std::vector<std::int32_t> owner;
};

Cut cut(const std::vector<std::size_t> &gap, std::size_t reach, int pieces, int team) {
    Cut c;
    const std::size_t n = gap.size();
    std::size_t unit = 0;
    for (std::size_t q = 1; q <= n; ++q) {
        if (q < n && gap[q] < reach)
            continue;
        const std::size_t length = q - unit;  // the unit [unit, q)
        const std::size_t parts = std::min(length, static_cast<std::size_t>(pieces));
        for (std::size_t p = 0; p < parts; ++p) {
            c.begin.push_back(static_cast<std::int32_t>(unit + length * p / parts));
            c.owner.push_back(
                static_cast<std::int32_t>(p * static_cast<std::size_t>(team) / parts));
        }
        unit = q;
    }
    c.begin.push_back(static_cast<std::int32_t>(n));
    return c;
}

// Calls visit(d) for every block d that block b reads (d < b, maybe more than once).
template <class Visit>
void each_read_block(const Reads &reads, const Cut &c, const std::vector<std::int32_t> &block_of,
                     std::size_t b, Visit visit) {
    const auto begin = static_cast<std::size_t>(c.begin[b]);
    for (std::size_t q = begin; q < static_cast<std::size_t>(c.begin[b + 1]); ++q)
        reads.each(q, [&](std::size_t p) {
            if (p < begin)
                visit(static_cast<std::size_t>(block_of[p]));
        });
}

std::vector<std::int32_t> blocks_of_positions(const Cut &c) {
    std::vector<std::int32_t> block_of(static_cast<std::size_t>(c.begin.back()));
    for (std::size_t b = 0; b + 1 < c.begin.size(); ++b)
        std::fill(block_of.begin() + c.begin[b], block_of.begin() + c.begin[b + 1],
                  static_cast<std::int32_t>(b));
    return block_of;
}

// The time the cut sweeps in, in entries read: each thread takes its blocks
// in order, each once the blocks it reads are done and, from another
// thread, have reached it.
double simulate(const Reads &reads, const Cut &c, int team) {
    const std::vector<std::int32_t> block_of = blocks_of_positions(c);
    const std::size_t blocks = c.owner.size();
    std::vector<double> done(blocks), free(static_cast<std::size_t>(team), 0.0);
    for (std::size_t b = 0; b < blocks; ++b) {
        const auto t = static_cast<std::size_t>(c.owner[b]);
        double start = free[t], work = block_cost;
        each_read_block(reads, c, block_of, b, [&](std::size_t d) {
            const bool other = c.owner[d] != c.owner[b];
            start = std::max(start, done[d] + (other ? wait_cost : 0.0));
        });
        for (auto q = static_cast<std::size_t>(c.begin[b]);
             q < static_cast<std::size_t>(c.begin[b + 1]); ++q)
            work += reads.weight(q);
        done[b] = free[t] = start + work;
    }
    return *std::max_element(free.begin(), free.end());
}

// The plan of a cut: each thread's blocks in order, and before each block
// the waits on other threads that the blocks before it have not made.
Pipeline plan_of(const Reads &reads, const Cut &c, int team) {
    const std::size_t blocks = c.owner.size(), threads = static_cast<std::size_t>(team);
    const std::vector<std::int32_t> block_of = blocks_of_positions(c);
    Pipeline plan;
    plan.team = team;
    plan.begin = c.begin;
    std::vector<std::int32_t> place(blocks);  // a block's place in its thread's order
    plan.first.assign(threads + 1, 0);
    for (std::size_t t = 0; t < threads; ++t) {
        plan.first[t] = static_cast<std::int32_t>(plan.order.size());
        for (std::size_t b = 0; b < blocks; ++b)
            if (static_cast<std::size_t>(c.owner[b]) == t) {
                place[b] = static_cast<std::int32_t>(plan.order.size()) - plan.first[t];
                plan.order.push_back(static_cast<std::int32_t>(b));
            }
    }
    plan.first[threads] = static_cast<std::int32_t>(blocks);
    std::vector<std::int32_t> need(threads), waited(threads * threads, 0);
    for (std::size_t k = 0; k < blocks; ++k) {
        const auto b = static_cast<std::size_t>(plan.order[k]);
        const auto t = static_cast<std::size_t>(c.owner[b]);
        plan.wait_start.push_back(static_cast<std::int32_t>(plan.wait_thread.size()));
        std::fill(need.begin(), need.end(), 0);
        each_read_block(reads, c, block_of, b, [&](std::size_t d) {
            const auto u = static_cast<std::size_t>(c.owner[d]);
            need[u] = std::max(need[u], place[d] + 1);
        });
        for (std::size_t u = 0; u < threads; ++u)
            if (u != t && need[u] > waited[t * threads + u]) {
                waited[t * threads + u] = need[u];
                plan.wait_thread.push_back(static_cast<std::int32_t>(u));
                plan.wait_count.push_back(need[u]);
            }
    }
    plan.wait_start.push_back(static_cast<std::int32_t>(plan.wait_thread.size()));
    return plan;
}

}  // namespace

Pipeline plan_pipeline(const CsrMatrix &half, bool lower, int team) {
    const auto n = static_cast<std::size_t>(half.rows);
    if (team < 2 || n < 2)
        return {};
    const Reads reads{half, lower, n};
    // How far back each position's nearest read lies (n when it reads
    // nothing), and how many lie at least 2^s back.
    std::vector<std::size_t> gap(n, n);
    std::vector<std::size_t> at_least(64, 0);
    double serial = 0.0;
    for (std::size_t q = 0; q < n; ++q) {
        reads.each(q, [&](std::size_t p) { gap[q] = std::min(gap[q], q - p); });
        serial += reads.weight(q);
        for (std::size_t s = 0; q > 0 && s < 64 && gap[q] >> s; ++s)
            ++at_least[s];
    }
    // The scales to try: the reaches 2, 4, 8, ... that cut the sweep into
    // units of at least 16 positions, from the fewest units, each scale
    // with at least twice the units of the one before, at most four scales
    // (a grid has one a dimension; a matrix without one has many, none of
    // which pays).
    Cut best;
    double best_time = worth_it * serial;
    std::size_t last_units = 1;
    int scales = 0;
    for (std::size_t s = 31; s >= 1 && scales < 4; --s) {
        const std::size_t reach = std::size_t{1} << s, units = 1 + at_least[s];
        if (units < 2 * last_units)
            continue;
        if (units > n / 16)
            break;
        last_units = units;
        ++scales;
        for (int pieces : {team, 2 * team}) {
            Cut c = cut(gap, reach, pieces, team);
            const double time = simulate(reads, c, team);
            if (time < best_time) {
                best_time = time;
                best = std::move(c);
            }
        }
    }
    if (best.owner.empty())
        return {};
    return plan_of(reads, best, team);
}

}  // namespace brisvel
