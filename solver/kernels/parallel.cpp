// The thread count the kernels run with, and the pacing of a solve's team by timing.
#include "kernels/parallel.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#endif

namespace brisvel {
namespace {

thread_local int threads_in_use = 1;  // each caller thread's solve has its own team

std::atomic<int> threads_reserved{0};  // by the solves running now, in every thread

#if defined(__unix__) || defined(__APPLE__)
// A child of fork has only the thread that forked; the OpenMP run time's
// workers stayed behind, and waiting for them would hang. Its solves run on
// the calling thread alone.
std::atomic<bool> forked_child{false};
void note_forked_child() { forked_child.store(true); }
[[maybe_unused]] const bool fork_noted = pthread_atfork(nullptr, nullptr, note_forked_child) == 0;
[[maybe_unused]] bool in_forked_child() { return forked_child.load(std::memory_order_relaxed); }
#else
[[maybe_unused]] bool in_forked_child() { return false; }
#endif

constexpr long first_trial = 12;         // iterations on the full team before trying one thread
constexpr long full_interval = 256;      // then iterations between such trials, at least
constexpr long alone_interval = 64;      // iterations alone before trying the full team again
constexpr long longest_interval = 4096;  // trials grow rarer while the choice holds
constexpr double slow = 2.0;             // an iteration this much above the best is slow
constexpr double drift = 1.01;           // the best forgets, one percent an iteration
// A trial comes when its count of iterations is due and the team has also
// run this long since the last: a short solve (as most least-squares solves
// of a few dozen milliseconds) is not slowed by a third of its iterations
// alone, and a slow team is still found at once by its slow iterations.
constexpr double trial_wait = 0.02;  // seconds

}  // namespace

double seconds() {
    using clock = std::chrono::steady_clock;
    return std::chrono::duration<double>(clock::now().time_since_epoch()).count();
}

int hardware_threads() {
#ifdef _OPENMP
    const int procs = omp_get_num_procs();
    return procs > 0 ? procs : 1;
#else
    return 1;
#endif
}

int default_threads() {
#ifdef _OPENMP
    const int limit = omp_get_thread_limit();
    return std::max(1, std::min(omp_get_max_threads(), limit > 0 ? limit : 1));
#else
    return 1;
#endif
}

int kernel_threads() { return threads_in_use; }

TeamReservation::TeamReservation(int requested) : team_(1), previous_(threads_in_use) {
#ifdef _OPENMP
    const int procs = hardware_threads();
    int cap = std::min({requested, procs, std::max(1, omp_get_thread_limit())});
    if (in_forked_child() || omp_get_active_level() >= omp_get_max_active_levels())
        cap = 1;  // no team can be had, or the caller's region allows no nested one
    const int taken = threads_reserved.fetch_add(cap);
    team_ = std::max(1, std::min(cap, procs - taken));
    threads_reserved.fetch_sub(cap - team_);  // give back what others hold already
#else
    (void)requested;
    threads_reserved.fetch_add(1);
#endif
    set_kernel_threads(team_);
}

TeamReservation::~TeamReservation() {
    threads_reserved.fetch_sub(team_);
    set_kernel_threads(previous_);
}

void set_kernel_threads(int threads) { threads_in_use = threads > 0 ? threads : 1; }

TeamPacer::TeamPacer(std::size_t n)
    : threads_(team_size(n)), team_(threads_), best_(std::numeric_limits<double>::infinity()),
      full_interval_(full_interval), alone_interval_(alone_interval), until_trial_(first_trial) {}

TeamPacer::~TeamPacer() {
    if (threads_ > 1)
        set_kernel_threads(threads_);
}

void TeamPacer::untimed() {
    if (last_ != 0.0)
        last_ = seconds();
}

double TeamPacer::recent_mean() const {
    double sum = 0.0;
    for (double t : recent_)
        sum += t;
    return sum / window;
}

void TeamPacer::start(int team, bool trial) {
    team_ = team;
    trial_ = trial;
    seen_ = 0;
    slow_in_a_row_ = 0;
    spent_ = 0.0;
    best_ = std::numeric_limits<double>::infinity();
    set_kernel_threads(team);
}

// A lost trial goes back to the team before it and makes the next trial
// wait longer; a won one keeps the team and starts its own count.
void TeamPacer::end_trial(bool won) {
    const bool full = team_ > 1;
    if (won) {
        trial_ = false;
        spent_ = 0.0;
        until_trial_ = full ? full_interval_ : alone_interval_;
        return;
    }
    long &interval = full ? alone_interval_ : full_interval_;  // the mode we go back to
    interval = std::min(4 * interval, longest_interval);
    start(full ? 1 : threads_, false);
    until_trial_ = interval;
}

void TeamPacer::iteration_done(double passes) {
    if (threads_ <= 1)
        return;
    const double now = seconds();
    const double per_pass = (now - last_) / passes;
    const bool first = last_ == 0.0;
    if (!first)
        spent_ += now - last_;
    last_ = now;
    if (first)
        return;  // the time before it is not an iteration's
    ++seen_;
    if (trial_) {
        // The full team must win clearly, and loses at once when far behind:
        // it is the one that suffers on a busy machine, where trials cost.
        if (team_ > 1 && per_pass > (seen_ == 1 ? 4.0 : 2.0) * before_) {
            end_trial(false);
            return;
        }
        if (seen_ == 1)
            return;  // a new team's first iteration warms it up
        recent_[(seen_ - 2) % window] = per_pass;
        if (seen_ > window)
            end_trial(recent_mean() < (team_ > 1 ? 0.9 : 1.0) * before_);
        return;
    }
    recent_[(seen_ - 1) % window] = per_pass;
    slow_in_a_row_ = per_pass > slow * best_ ? slow_in_a_row_ + 1 : 0;
    best_ = std::fmin(per_pass, best_ * drift);
    --until_trial_;
    const bool due = until_trial_ <= 0 && spent_ >= trial_wait;
    if (seen_ >= window && (due || (team_ > 1 && slow_in_a_row_ >= 2))) {
        before_ = recent_mean();
        start(team_ > 1 ? 1 : threads_, true);
    }
}

}  // namespace brisvel
