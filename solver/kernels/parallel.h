// Threads for the kernels, and loops split over them in a fixed, reproducible way.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <exception>
#include <utility>
#include <vector>

#ifdef _OPENMP
#include <omp.h>
#endif

namespace brisvel {

// A steady clock, in seconds from an arbitrary start.
double seconds();

// The processors available to the program; 1 in a build without OpenMP.
int hardware_threads();
// The team a context starts with, by OpenMP's own rules: OMP_NUM_THREADS,
// capped by OMP_THREAD_LIMIT, else the processors available.
int default_threads();
// The threads the kernels use in the calling thread's solve.
int kernel_threads();
void set_kernel_threads(int threads);

// The team of one solve, for as long as it lives: the threads asked for,
// capped by the processors available and the OpenMP thread limit, and by
// what other threads' solves have taken, so that solves running at once do
// not together oversubscribe the processors. One thread inside a caller's
// OpenMP parallel region that allows no further nesting, and in a process
// forked from the one that loaded the library, whose threads it lacks.
class TeamReservation {
  public:
    explicit TeamReservation(int requested);
    ~TeamReservation();
    TeamReservation(const TeamReservation &) = delete;
    TeamReservation &operator=(const TeamReservation &) = delete;
    int size() const { return team_; }

  private:
    int team_;
    int previous_;  // the calling thread's kernel threads before
};

// Loops shorter than this run on the calling thread: below it, waking the
// team costs more than sharing the work saves (bench/README.md has the
// measurements).
constexpr std::size_t parallel_threshold = 8192;

// Chooses the team for the iterations of one solve by timing them. A solve
// runs on all its threads unless one thread proves faster, as it does when
// other programs keep the processors busy: a team then waits, at every
// sum, for whichever of its threads is not running. Now and then the other
// choice is tried again. Answers do not depend on the team, only the time.
class TeamPacer {
  public:
    // For a solve on the kernel threads set now, over vectors of n entries.
    explicit TeamPacer(std::size_t n);
    // Gives the kernel threads back as they were.
    ~TeamPacer();
    TeamPacer(const TeamPacer &) = delete;
    TeamPacer &operator=(const TeamPacer &) = delete;
    // Called after each iteration, with its cost in passes over a vector.
    void iteration_done(double passes);
    // Leaves the time since the last iteration out of the next one's: the
    // work between iterations (a restart, say), whose cost in passes the
    // iteration would not account for.
    void untimed();

  private:
    static constexpr int window = 4;  // iterations averaged in a comparison
    void start(int team, bool trial);
    void end_trial(bool won);
    double recent_mean() const;

    int threads_;            // the full team
    int team_;               // the team in use
    bool trial_ = false;     // trying the other team for a few iterations
    double last_ = 0.0;      // clock at the last iteration's end; 0 before the first
    double before_ = 0.0;    // seconds per pass just before the trial began
    double best_;            // best seconds per pass on the team in use, forgetting slowly
    double recent_[window];  // the last iterations' seconds per pass
    int seen_ = 0;           // iterations timed since the team last changed
    int slow_in_a_row_ = 0;  // iterations well above the best
    double spent_ = 0.0;     // seconds on the team in use since it began, or since a trial
    long full_interval_;     // iterations on the full team between trials alone
    long alone_interval_;    // iterations alone between trials on the full team
    long until_trial_;
};

// The team size for a loop of n iterations.
inline int team_size(std::size_t n) {
#ifdef _OPENMP
    return n < parallel_threshold ? 1 : kernel_threads();
#else
    (void)n;
    return 1;  // whatever the thread count asked for
#endif
}

// The work is cut into blocks of this many iterations, and each thread takes
// a fixed run of whole blocks, the same in every kernel, so that a thread
// keeps finding its part of the vectors in its own cache. Reductions add up
// each block on its own, then the blocks in order, so a sum is the same
// whatever the number of threads.
constexpr std::size_t block_size = 4096;

// The run of blocks [first, second) that thread t of a team of count takes,
// the same in every kernel.
inline std::pair<std::size_t, std::size_t> run_of(std::size_t blocks, std::size_t t,
                                                  std::size_t count) {
    return {blocks * t / count, blocks * (t + 1) / count};
}

// The calling thread's place in the team running it: 0 .. team - 1, and 0
// outside a team.
inline std::size_t thread_index() {
#ifdef _OPENMP
    return static_cast<std::size_t>(omp_get_thread_num());
#else
    return 0;
#endif
}

// Calls body(b) for every block b of [0, blocks), shared out in runs.
template <class Body> void for_blocks(std::size_t blocks, int team, Body body) {
    if (team <= 1) {
        for (std::size_t b = 0; b < blocks; ++b)
            body(b);
        return;
    }
#ifdef _OPENMP
    // No exception may leave a parallel region: the first one a thread meets
    // stops that thread's run, and is thrown again once the team is done.
    std::exception_ptr failure;
#pragma omp parallel num_threads(team)
    {
        const std::size_t t = static_cast<std::size_t>(omp_get_thread_num());
        const std::size_t count = static_cast<std::size_t>(omp_get_num_threads());
        try {
            const auto [lo, hi] = run_of(blocks, t, count);
            for (std::size_t b = lo; b < hi; ++b)
                body(b);
        } catch (...) {
#pragma omp critical(brisvel_for_blocks_failure)
            if (!failure)
                failure = std::current_exception();
        }
    }
    if (failure)
        std::rethrow_exception(failure);
#endif
}

// Calls body(lo, hi, sync) once on each thread of the team, with its run of
// blocks [lo, hi), as for_blocks shares them out; sync() returns once every
// thread of the team has called it, so each must call it as often as the
// others. body must not throw.
template <class Body> void for_runs(std::size_t blocks, int team, Body body) {
#ifdef _OPENMP
    if (team > 1) {
#pragma omp parallel num_threads(team)
        {
            const std::size_t t = static_cast<std::size_t>(omp_get_thread_num());
            const std::size_t count = static_cast<std::size_t>(omp_get_num_threads());
            const auto [lo, hi] = run_of(blocks, t, count);
            body(lo, hi, [] {
#pragma omp barrier
            });
        }
        return;
    }
#endif
    (void)team;
    body(std::size_t{0}, blocks, [] {});
}

// Calls body(begin, end) on ranges that cover [0, n).
template <class Body> void parallel_for(std::size_t n, Body body) {
    const int team = team_size(n);
    if (team <= 1) {
        body(std::size_t{0}, n);
        return;
    }
    const std::size_t blocks = (n + block_size - 1) / block_size;
    for_blocks(blocks, team, [&](std::size_t b) {
        const std::size_t begin = b * block_size;
        body(begin, std::min(begin + block_size, n));
    });
}

// K sums over [0, n), of type T: body(begin, end, sums) adds the terms of
// [begin, end) into sums[0 .. K).
template <std::size_t K, class T = double, class Body>
std::array<T, K> parallel_sum(std::size_t n, Body body) {
    const std::size_t blocks = (n + block_size - 1) / block_size;
    std::vector<std::array<T, K>> partial(blocks);
    for_blocks(blocks, team_size(n), [&](std::size_t b) {
        const std::size_t begin = b * block_size;
        partial[b].fill(T(0));
        body(begin, std::min(begin + block_size, n), partial[b]);
    });
    std::array<T, K> total{};
    for (const std::array<T, K> &sums : partial)
        for (std::size_t k = 0; k < K; ++k)
            total[k] += sums[k];
    return total;
}

// As parallel_sum, for a count of sums known only at run time:
// body(begin, end, sums) adds into sums[0 .. count).
template <class Body>
std::vector<double> parallel_sums(std::size_t n, std::size_t count, Body body) {
    const std::size_t blocks = (n + block_size - 1) / block_size;
    std::vector<double> partial(blocks * count, 0.0);
    for_blocks(blocks, team_size(n), [&](std::size_t b) {
        const std::size_t begin = b * block_size;
        body(begin, std::min(begin + block_size, n), partial.data() + b * count);
    });
    std::vector<double> total(count, 0.0);
    for (std::size_t b = 0; b < blocks; ++b)
        for (std::size_t k = 0; k < count; ++k)
            total[k] += partial[b * count + k];
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

}  // namespace brisvel
