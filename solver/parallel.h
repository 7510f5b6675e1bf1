// Threads for the kernels, and loops split over them in a fixed, reproducible way.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#ifdef _OPENMP
#include <omp.h>
#endif

namespace brisvel {

// The processors available to the program; 1 in a build without OpenMP.
int hardware_threads();
// The threads the kernels use, set from the context before each solve.
int kernel_threads();
void set_kernel_threads(int threads);

// Loops shorter than this run on the calling thread: below it, waking the
// team costs more than sharing the work saves (measured with brisvel-bench).
constexpr std::size_t parallel_threshold = 16384;
// Reductions add up fixed blocks of this many terms, then the blocks in
// order, so a sum is the same whatever the number of threads.
constexpr std::size_t reduction_block = 4096;

// The team size for a loop of n iterations.
inline int team_size(std::size_t n) { return n < parallel_threshold ? 1 : kernel_threads(); }

// Calls body(begin, end) on contiguous slices that cover [0, n), one per thread.
template <class Body> void parallel_for(std::size_t n, Body body) {
    const int team = team_size(n);
    if (team <= 1) {
        body(std::size_t{0}, n);
        return;
    }
#ifdef _OPENMP
#pragma omp parallel num_threads(team)
    {
        const std::size_t t = static_cast<std::size_t>(omp_get_thread_num());
        const std::size_t count = static_cast<std::size_t>(omp_get_num_threads());
        body(n * t / count, n * (t + 1) / count);
    }
#endif
}

// K sums over [0, n): body(begin, end, sums) adds the terms of [begin, end)
// into sums[0 .. K). Blocks are summed separately and then added in block
// order, so the answer depends neither on the team size nor on timing.
template <std::size_t K, class Body> std::array<double, K> parallel_sum(std::size_t n, Body body) {
    const std::size_t blocks = (n + reduction_block - 1) / reduction_block;
    std::array<double, K> total{};
    auto add_block = [&](std::size_t b, std::array<double, K> &sums) {
        sums.fill(0.0);
        const std::size_t begin = b * reduction_block;
        body(begin, begin + reduction_block < n ? begin + reduction_block : n, sums);
    };
    const int team = team_size(n);
    if (team <= 1) {
        std::array<double, K> sums;
        for (std::size_t b = 0; b < blocks; ++b) {
            add_block(b, sums);
            for (std::size_t k = 0; k < K; ++k)
                total[k] += sums[k];
        }
        return total;
    }
    std::vector<std::array<double, K>> partial(blocks);
#ifdef _OPENMP
#pragma omp parallel num_threads(team)
    {
        const std::size_t t = static_cast<std::size_t>(omp_get_thread_num());
        const std::size_t count = static_cast<std::size_t>(omp_get_num_threads());
        for (std::size_t b = blocks * t / count; b < blocks * (t + 1) / count; ++b)
            add_block(b, partial[b]);
    }
#endif
    for (const std::array<double, K> &sums : partial)
        for (std::size_t k = 0; k < K; ++k)
            total[k] += sums[k];
    return total;
}

// Adds term(i, acc) over [begin, end) into sums, where term adds entry i's
// contributions into the K accumulators acc. Four interleaved lanes keep the
// additions independent, so they pipeline, in an order fixed by the code.
template <std::size_t K, class Term>
void lane_sum(std::size_t begin, std::size_t end, std::array<double, K> &sums, Term term) {
    double acc[4][K] = {};
    std::size_t i = begin;
    for (; i + 4 <= end; i += 4) {
        term(i, acc[0]);
        term(i + 1, acc[1]);
        term(i + 2, acc[2]);
        term(i + 3, acc[3]);
    }
    for (; i < end; ++i)
        term(i, acc[0]);
    for (std::size_t k = 0; k < K; ++k)
        sums[k] += (acc[0][k] + acc[1][k]) + (acc[2][k] + acc[3][k]);
}

} // namespace brisvel
