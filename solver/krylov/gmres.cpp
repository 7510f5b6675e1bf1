// Restarted GMRES, right preconditioned, with classical Gram-Schmidt that
// projects again only when cancellation has eaten a vector's norm, and
// Givens rotations.
#include "kernels/basis_ops.h"
#include "kernels/fused_ops.h"
#include "kernels/parallel.h"
#include "kernels/vector_ops.h"
#include "krylov/krylov.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <limits>
#include <vector>

namespace brisvel {
namespace {

// The least-squares problem of one cycle: the Hessenberg matrix H as built
// (raw), its columns reduced to upper triangular form by Givens rotations
// (rot), and the rotated right-hand side g = Q' ||r|| e_1. A column may be
// rotated in again after it changes, as the last one does once its
// direction is made final.
struct Hessenberg {
    explicit Hessenberg(std::size_t restart)
        : raw(restart, Vector(restart + 1)), rot(restart, Vector(restart + 1)), cs(restart),
          sn(restart), g(restart + 1), before(restart + 1), y(restart) {}

    std::vector<Vector> raw, rot;  // columns of H, as built and rotated
    Vector cs, sn, g;
    Vector before;  // g_k before rotation k
    Vector y;

    void reset(double beta) {
        std::fill(g.begin(), g.end(), 0.0);
        g[0] = before[0] = beta;  // g = ||r|| e_1
    }
    // Rotates column k into the triangle, after columns 0 .. k-1; returns
    // the norm the rotation found for it, 0 when the Krylov space is
    // exhausted.
    double rotate_in(std::size_t k);
    // Solves the triangle's leading block for y; answers how many columns it
    // used, fewer than k when trailing ones are singular.
    std::size_t solve(std::size_t k);
};

double Hessenberg::rotate_in(std::size_t k) {
    Vector &hk = rot[k];
    std::copy(raw[k].begin(), raw[k].begin() + static_cast<std::ptrdiff_t>(k + 2), hk.begin());
    for (std::size_t i = 0; i < k; ++i) {  // apply the earlier rotations
        const double t = cs[i] * hk[i] + sn[i] * hk[i + 1];
        hk[i + 1] = -sn[i] * hk[i] + cs[i] * hk[i + 1];
        hk[i] = t;
    }
    const double rr = std::hypot(hk[k], hk[k + 1]);  // a rotation zeroes h_k+1,k
    cs[k] = rr > 0.0 ? hk[k] / rr : 1.0;
    sn[k] = rr > 0.0 ? hk[k + 1] / rr : 0.0;
    hk[k] = rr;
    hk[k + 1] = 0.0;
    g[k] = cs[k] * before[k];
    g[k + 1] = before[k + 1] = -sn[k] * before[k];
    return rr;
}

std::size_t Hessenberg::solve(std::size_t k) {
    std::size_t used = k;  // solve H y = g by back substitution
    while (used > 0 && rot[used - 1][used - 1] == 0.0)
        --used;  // drop a singular trailing column
    for (std::size_t i = used; i-- > 0;) {
        double sum = g[i];
        for (std::size_t j = i + 1; j < used; ++j)
            sum -= rot[j][i] * y[j];
        y[i] = sum / rot[i][i];
    }
    return used;
}

// The vectors 0 .. count-1 as pointers, for the multi-vector passes.
std::vector<const double *> basis_pointers(KrylovVectors &basis, std::size_t count) {
    std::vector<const double *> v(count);
    for (std::size_t j = 0; j < count; ++j)
        v[j] = basis[j];
    return v;
}

enum class Step {
    grown,      // v_k is final and column k of H built
    not_finite  // a non-finite number appeared
};

// One projection suffices unless it leaves less than this fraction of the
// vector's norm before it: the cancellation magnifies the basis' loss of
// orthogonality in what is left by its inverse. The vector is then
// projected once more, and twice is enough. On the convection-diffusion
// problems with Jacobi or ILU(0) no step comes near it; full GMRES on a
// matrix with condition 1e8 to 1e10 refines 1 step in 20, and needs it
// there: at 1e-3 those solves stall short of 1e-10.
constexpr double refine_below = 1e-2;

// The Arnoldi process, one step at a time. Slot k of the basis holds u, the
// next direction projected off v_0 .. v_k-1, not yet normalised: A M^-1
// v_k-1 = V h_k-1 + u, with ||u|| = h_k,k-1. Step k multiplies u itself, w =
// A M^-1 u, and in the same pass over the basis finds the projections of w;
// in a second pass it scales u to v_k and projects w off v_0 .. v_k, making
// it the next u. Column k of H follows from w's projections. On step 0, slot
// 0 holds the residual r.
// With a diagonal M^-1 and a matrix whose rows reach no further than a
// block from the diagonal, the next step's product and first pass go along
// with this step's second pass, a block behind it: each block of the basis
// is then read from memory once a step, and found in the caches the second
// time. The sums are the same.
class Arnoldi {
  public:
    // basis holds the restart + 1 slots; v points at each of them.
    Arnoldi(const CsrMatrix &a, const Preconditioner &m, KrylovVectors &basis,
            const std::vector<const double *> &v, std::size_t restart, double *z)
        : a_(a), m_(m), basis_(basis), v_(v), z_(z), restart_(restart),
          overlap_(m.inverse_diagonal() != nullptr &&
                   row_reach(a) <= static_cast<std::int64_t>(block_size)),
          dots_{Vector(restart + 4), Vector(restart + 4)}, correction_(restart + 1) {}

    Step step(std::size_t k, Hessenberg &h);
    // The cost of the last step, in passes over a vector: a first pass over
    // count basis vectors costs count + 6 (its two vectors, A and M^-1), a
    // second count + 4. An overlapped step does the next one's first pass.
    double work() const { return work_; }

  private:
    const CsrMatrix &a_;
    const Preconditioner &m_;
    KrylovVectors &basis_;
    const std::vector<const double *> &v_;
    double *z_;
    std::size_t restart_;
    bool overlap_;        // steps may overlap
    bool ahead_ = false;  // dots_[current_] holds this step's first pass already
    Vector dots_[2];
    Vector correction_;  // the second projection's coefficients
    int current_ = 0;
    double work_ = 0.0;
};

Step Arnoldi::step(std::size_t k, Hessenberg &h) {
    const std::size_t n = static_cast<std::size_t>(a_.rows);
    double *u = basis_[k], *w = basis_[k + 1];
    const double *d = m_.inverse_diagonal();  // a diagonal M^-1 is folded into the product
    const auto count = static_cast<double>(k);
    work_ = count + 4.0;      // the second pass
    if (k == 0 || !ahead_) {  // (a cycle starts afresh)
        work_ += count + 6.0;
        const double *x = u;
        if (d == nullptr) {
            m_.apply(u, z_);  // z = M^-1 u
            x = z_;
        }
        // w = A M^-1 u, made block by block in the pass that projects it.
        project(
            n, v_.data(), k, u, w,
            [&](std::size_t begin, std::size_t end) { spmv_rows(a_, d, x, w, begin, end); },
            dots_[current_].data());
    }
    ahead_ = false;
    const double *b = dots_[current_].data();  // b = V'w
    const double uu = b[k], uw = b[k + 1], ww = b[k + 2];
    if (!std::isfinite(uu) || !std::isfinite(uw) || !std::isfinite(ww))
        return Step::not_finite;
    const double rho = k == 0 ? std::sqrt(uu) : h.raw[k - 1][k];  // ||u||
    if (k == 0)
        h.reset(rho);                    // ||r||
    const double beta = uw / rho;        // rho (v_k, A M^-1 v_k)
    double remainder = 0.0;              // ||u'||^2
    if (overlap_ && k + 1 < restart_) {  // step k + 1 follows in this cycle
        double *next_w = basis_[k + 2];
        remainder = orthogonalise_and_project(
            n, v_.data(), k, b, rho, beta, u, w, next_w,
            [&](std::size_t begin, std::size_t end) { spmv_rows(a_, d, w, next_w, begin, end); },
            dots_[1 - current_].data());
        ahead_ = true;
        work_ += count + 7.0;  // step k + 1's first pass
    } else {
        remainder = orthogonalise(n, v_.data(), k, b, rho, beta, u, w);
    }
    // A M^-1 v_k = w / rho = V h_k + u' for the new u' now in slot k + 1.
    Vector &column = h.raw[k];
    for (std::size_t i = 0; i < k; ++i)
        column[i] = b[i] / rho;  // (v_i, A M^-1 v_k)
    column[k] = beta / rho;
    if (!std::isfinite(remainder) || !std::isfinite(beta))
        return Step::not_finite;
    if (!(remainder >= refine_below * refine_below * (ww / (rho * rho)))) {
        // Cancellation: project u' off v_0 .. v_k again, and start the next
        // step afresh from the u' that results.
        const double once = remainder;
        remainder = project_out(n, v_.data(), k + 1, w, correction_.data());
        for (std::size_t i = 0; i <= k; ++i)
            column[i] += correction_[i];
        if (!(remainder > 0.25 * once))
            remainder = 0.0;  // u' was rounding error alone: the Krylov space is exhausted
        ahead_ = false;
        work_ += 2.0 * count + 6.0;
    }
    column[k + 1] = std::sqrt(remainder);  // ||u'||
    if (ahead_)
        current_ = 1 - current_;
    return std::isfinite(column[k + 1]) ? Step::grown : Step::not_finite;
}

// x += M^-1 V y over the first used basis vectors; w and z are work space.
void update_solution(const Preconditioner &m, const std::vector<const double *> &v, const Vector &y,
                     std::size_t used, Vector &x, double *w, double *z) {
    const double *d = m.inverse_diagonal();
    combine_basis(x.size(), y.data(), v.data(), used, d, x.data(), w);  // x += M^-1 V y, or w = V y
    if (d == nullptr) {
        m.apply(w, z);
        axpy(x.size(), 1.0, z, x.data());  // x += M^-1 w
    }
}

// Restarted GMRES has stagnated when a window of its last cycles, at least
// stall_cycles of them and stall_iterations iterations, leaves the true
// residual above stall_fraction of where the window found it: at that pace
// the threshold lies hundreds of thousands of iterations away. (A cycle that
// does not lower it at all starts the next from where it began, and so on.)
constexpr int stall_cycles = 10;
constexpr int stall_iterations = 100;
constexpr double stall_fraction = 0.99;

// The true residuals at the ends of the cycles within the window.
class StallWatch {
  public:
    explicit StallWatch(double start_residual) { ends_.push_back({0, 0, start_residual}); }
    // Records the end of a cycle; true when the window shows stagnation.
    bool stalled(int iterations, double residual) {
        const End now{ends_.back().cycle + 1, iterations, residual};
        ends_.push_back(now);
        while (ends_.size() > 2 && spans_window(ends_[1], now))
            ends_.pop_front();  // the window starts at the latest end far enough back
        if (!(residual < ends_[ends_.size() - 2].residual))
            return true;  // no gain at all
        return spans_window(ends_.front(), now) &&
               !(residual < stall_fraction * ends_.front().residual);
    }

  private:
    struct End {
        int cycle, iterations;
        double residual;
    };
    static bool spans_window(const End &from, const End &to) {
        return to.cycle - from.cycle >= stall_cycles &&
               to.iterations - from.iterations >= stall_iterations;
    }
    std::deque<End> ends_;
};

}  // namespace

SolveResult gmres(const CsrMatrix &a, const Preconditioner &m, const Vector &b, Vector &x,
                  const SolveControl &control) {
    const std::size_t n = b.size();
    const std::size_t restart =
        std::max<std::size_t>(1, std::min(static_cast<std::size_t>(control.restart), n));
    KrylovVectors work(restart + 3, n, control.workspace);  // the basis, then w and z
    double *r = work[0], *w = work[restart + 1], *z = work[restart + 2];
    SolveResult result;
    const KrylovStart start = krylov_start(a, b, x, control, r, result);
    if (start.done)
        return result;
    const double norm_b = start.norm_b, tol = start.tol;  // ||b||, and the target for ||r||
    Hessenberg hessenberg(restart);
    const std::vector<const double *> basis = basis_pointers(work, restart + 1);
    Arnoldi arnoldi(a, m, work, basis, restart, z);
    int stopped = QV_ERROR_NOT_CONVERGED;
    StallWatch watch(result.residual);
    TeamPacer pace(n);

    while (!control.converged(result.residual) && result.iterations < control.max_iterations) {
        std::size_t k = 0;  // columns built in this cycle; r is in slot 0
        while (k < restart && result.iterations < control.max_iterations) {
            ++result.iterations;
            const Step step = arnoldi.step(k, hessenberg);
            if (step == Step::not_finite) {
                result.code = QV_ERROR_BREAKDOWN;
                return result;
            }
            const double rr = hessenberg.rotate_in(k);
            ++k;
            pace.iteration_done(arnoldi.work());
            const double estimate = std::fabs(hessenberg.g[k]);
            if (control.interrupted(result.iterations, estimate / norm_b)) {
                stopped = QV_ERROR_INTERRUPTED;
                break;
            }
            if (estimate <= tol || rr == 0.0)
                break;  // converged in the least-squares sense, or the space is exhausted
        }
        const std::size_t used = hessenberg.solve(k);
        update_solution(m, basis, hessenberg.y, used, x, w, z);
        result.residual =
            true_residual(a, b, x, norm_b, control.threshold, r);  // the next cycle's start
        pace.untimed();
        if (!std::isfinite(result.residual) || stopped == QV_ERROR_INTERRUPTED ||
            control.converged(result.residual))
            break;
        if (used < k) {  // the triangle is singular
            stopped = QV_ERROR_BREAKDOWN;
            break;
        }
        if (watch.stalled(result.iterations, result.residual)) {
            stopped = QV_ERROR_STAGNATED;
            break;
        }
    }
    krylov_finish(a, b, x, control, norm_b, r, true, stopped, result);
    return result;
}

}  // namespace brisvel
