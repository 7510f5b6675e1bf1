// Triangular sweeps shared among a team as a pipeline of row blocks.
#pragma once

#include "kernels/csr.h"
#include "kernels/parallel.h"

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace brisvel {

// A sweep visits the positions 0 .. n-1 in order: rows 0 .. n-1 forward,
// n-1 .. 0 backward. The plan cuts the positions into blocks of consecutive
// positions; each block belongs to one thread, which sweeps its blocks in
// order, each in one serial run, after waiting only for the blocks of other
// threads it reads. A row reads the same values however the blocks fall, so
// the answer has the same bits on any team.
//
// A 2D grid in natural order is the case it is made for: its levels are
// diagonals too narrow to share, but cut each grid line in two and one
// thread sweeps the left halves while the other follows one line behind on
// the right halves. In general the units are cut where a row reads no row
// within some distance before it (the start of a grid line, or of a
// plane), each unit into pieces, piece p of every unit going to the same
// thread; the cuts are chosen by simulating the sweep at a few scales.
struct Pipeline {
    int team = 0;                     // 0: no plan pays; sweep on one thread
    std::vector<std::int32_t> begin;  // block b is positions [begin[b], begin[b + 1])
    std::vector<std::int32_t> order;  // the blocks of thread t: order[first[t] .. first[t + 1])
    std::vector<std::int32_t> first;  // team + 1 entries
    std::vector<std::int32_t> wait_start;   // waits before order[k]: wait_start[k] .. [k + 1]
    std::vector<std::int32_t> wait_thread;  // wait until thread wait_thread[w] has
    std::vector<std::int32_t> wait_count;   // finished wait_count[w] of its blocks
};

// A plan for one sweep, for a team of threads: forward over a lower
// triangle, whose rows read the columns before them, or backward over an
// upper one. Team 0 when no plan runs in less than three quarters of the
// time of one thread.
Pipeline plan_pipeline(const CsrMatrix &half, bool lower, int team);

// Runs the plan: sweep(begin, end) sweeps positions [begin, end) in order.
// A team smaller than planned (as OpenMP may give) sweeps on one thread.
template <class Sweep> void run_pipeline(const Pipeline &plan, Sweep sweep) {
#ifdef _OPENMP
    struct alignas(64) Progress {
        std::atomic<std::int32_t> done{0};  // blocks this thread has finished
    };
    std::vector<Progress> progress(static_cast<std::size_t>(plan.team));
#pragma omp parallel num_threads(plan.team)
    {
        const auto t = static_cast<std::size_t>(omp_get_thread_num());
        if (omp_get_num_threads() != plan.team) {
            if (t == 0)
                sweep(std::size_t{0}, static_cast<std::size_t>(plan.begin.back()));
        } else {
            const auto start = static_cast<std::size_t>(plan.first[t]);
            const auto end = static_cast<std::size_t>(plan.first[t + 1]);
            for (std::size_t k = start; k < end; ++k) {
                for (auto w = static_cast<std::size_t>(plan.wait_start[k]);
                     w < static_cast<std::size_t>(plan.wait_start[k + 1]); ++w) {
                    const std::atomic<std::int32_t> &other =
                        progress[static_cast<std::size_t>(plan.wait_thread[w])].done;
                    for (unsigned spins = 0;
                         other.load(std::memory_order_acquire) < plan.wait_count[w];)
                        if (++spins % 4096 == 0)  // the other thread may not be running
                            std::this_thread::yield();
                }
                const auto b = static_cast<std::size_t>(plan.order[k]);
                sweep(static_cast<std::size_t>(plan.begin[b]),
                      static_cast<std::size_t>(plan.begin[b + 1]));
                progress[t].done.store(static_cast<std::int32_t>(k + 1 - start),
                                       std::memory_order_release);
            }
        }
    }
#else
    sweep(std::size_t{0}, static_cast<std::size_t>(plan.begin.back()));
#endif
}

}  // namespace brisvel
