// Triangular sweeps and incomplete LU elimination, shared by SSOR, ILU(0) and IC(0).
#include "precond/triangular.h"

#include "kernels/parallel.h"
#include "kernels/vector_ops.h"

#include <algorithm>
#include <cmath>

namespace brisvel {
namespace {

// Whether a team sweeps faster by levels than one thread alone. One thread
// keeps the neighbouring row's value in a register and reads the rows in
// order; shared by levels, a row costs about twice as much (neither holds),
// and each level ends at a barrier worth some thousand rows. So the levels
// must hold, on average, about 4096 / (team - 1) rows: a 3D grid's may on
// many threads, a 2D grid's in natural order never do.
// Levels not made (for one thread) are never shared.
bool shared_by_levels(std::size_t n, const Levels &levels, int team) {
    if (team < 2 || levels.start.size() < 2)
        return false;
    return n / (levels.start.size() - 1) >= 4096 / static_cast<std::size_t>(team - 1);
}

// The levels of the sweep over one triangle: forward over lower, whose
// rows read columns before them, or backward over upper.
Levels levels_of(const CsrMatrix &half, bool lower) {
    const std::size_t n = static_cast<std::size_t>(half.rows);
    std::vector<std::int32_t> level(n, 0);
    std::int32_t top = 0;
    for (std::size_t step = 0; step < n; ++step) {
        const std::size_t i = lower ? step : n - 1 - step;
        std::int32_t l = 0;
        for (std::int64_t k = half.row_ptr[i]; k < half.row_ptr[i + 1]; ++k)
            l = std::max(l, level[static_cast<std::size_t>(half.col.data()[k])] + 1);
        level[i] = l;
        top = std::max(top, l);
    }
    Levels out;  // a counting sort of the rows by level, ascending within each
    out.start.assign(static_cast<std::size_t>(top) + 2, 0);
    for (std::int32_t l : level)
        ++out.start[static_cast<std::size_t>(l) + 1];
    for (std::size_t l = 1; l < out.start.size(); ++l)
        out.start[l] += out.start[l - 1];
    out.rows.resize(n);
    std::vector<std::size_t> next(out.start.begin(), out.start.end() - 1);
    for (std::size_t i = 0; i < n; ++i)
        out.rows[next[static_cast<std::size_t>(level[i])]++] = static_cast<std::int32_t>(i);
    return out;
}

// One row of each sweep, in the folded form; a row gives the same bits
// whoever computes it and whenever, once the rows it reads are done. The
// neighbour a row most often waits for, i-1 forward and i+1 backward, is
// taken last, from the caller when Carried (one thread, which keeps it in a
// register rather than waiting for it to reach memory), else from the
// vector.
template <bool Carried>
inline double forward_row(const TriangularFactor &t, std::size_t i, const double *r,
                          const double *w, double previous) {
    const std::int32_t *col = t.lower.col.data();
    const double *val = t.lower.val.data();
    const std::int64_t end = t.lower.row_ptr[i + 1];
    std::int64_t k = t.lower.row_ptr[i];
    const bool adjacent = end > k && static_cast<std::size_t>(col[end - 1]) + 1 == i;
    double sum = t.s[i] * r[i];
    for (; k < end - adjacent; ++k)
        sum -= val[k] * w[col[k]];
    if (adjacent)
        sum -= val[end - 1] * (Carried ? previous : w[i - 1]);
    return sum;  // w_i = s_i r_i - sum_{j<i} f_ij w_j
}

template <bool Carried>
inline double backward_row(const TriangularFactor &t, std::size_t i, const double *z, double next) {
    const std::int32_t *col = t.upper.col.data();
    const double *val = t.upper.val.data();
    const std::int64_t first = t.upper.row_ptr[i], end = t.upper.row_ptr[i + 1];
    const bool adjacent = first < end && static_cast<std::size_t>(col[first]) == i + 1;
    double sum = z[i];
    for (std::int64_t k = first + adjacent; k < end; ++k)
        sum -= val[k] * z[col[k]];
    if (adjacent)
        sum -= val[first] * (Carried ? next : z[i + 1]);
    return sum;  // z_i = w_i - sum_{j>i} f_ij z_j
}

// The entries of f before (lower) or after each row's diagonal.
CsrMatrix triangle(const CsrMatrix &f, const Array<std::int64_t> &diag, bool lower) {
    const std::size_t n = static_cast<std::size_t>(f.rows);
    CsrMatrix h;
    h.rows = h.cols = f.rows;
    h.row_ptr.assign(n + 1, 0);
    for (std::size_t i = 0; i < n; ++i)
        h.row_ptr[i + 1] =
            h.row_ptr[i] + (lower ? diag[i] - f.row_ptr[i] : f.row_ptr[i + 1] - diag[i] - 1);
    h.col.resize(static_cast<std::size_t>(h.row_ptr[n]));
    h.val.resize(h.col.size());
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t from = lower ? f.row_ptr[i] : diag[i] + 1;
        const std::int64_t count = h.row_ptr[i + 1] - h.row_ptr[i];
        std::copy_n(f.col.data() + from, count, h.col.data() + h.row_ptr[i]);
        std::copy_n(f.val.data() + from, count, h.val.data() + h.row_ptr[i]);
    }
    return h;
}

// Runs row(i) over the levels in order, each level's rows shared among the
// team, with a barrier between levels.
template <class Row> void by_levels(const Levels &levels, int team, Row row) {
#ifdef _OPENMP
#pragma omp parallel num_threads(team)
    {
        const std::size_t t = static_cast<std::size_t>(omp_get_thread_num());
        const std::size_t count = static_cast<std::size_t>(omp_get_num_threads());
        for (std::size_t l = 0; l + 1 < levels.start.size(); ++l) {
            const std::size_t begin = levels.start[l], size = levels.start[l + 1] - begin;
            for (std::size_t p = begin + size * t / count; p < begin + size * (t + 1) / count; ++p)
                row(static_cast<std::size_t>(levels.rows[p]));
#pragma omp barrier
        }
    }
#else
    (void)levels;
    (void)team;
    (void)row;
#endif
}

}  // namespace

void with_diagonal(const CsrMatrix &a, CsrMatrix &f, Array<std::int64_t> &diag) {
    const std::size_t n = static_cast<std::size_t>(a.rows);
    f.rows = a.rows;
    f.cols = a.cols;
    f.row_ptr.assign(n + 1, 0);
    f.col.clear();
    f.val.clear();
    f.col.reserve(a.col.size() + n);
    f.val.reserve(a.col.size() + n);
    diag.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const auto me = static_cast<std::int32_t>(i);
        bool placed = false;
        for (std::int64_t k = a.row_ptr[i]; k < a.row_ptr[i + 1]; ++k) {
            if (!placed && a.col.data()[k] >= me) {
                diag[i] = static_cast<std::int64_t>(f.col.size());
                placed = true;
                if (a.col.data()[k] > me) {  // missing: a zero takes its place
                    f.col.push_back(me);
                    f.val.push_back(0.0);
                }
            }
            f.col.push_back(a.col.data()[k]);
            f.val.push_back(a.val.data()[k]);
        }
        if (!placed) {
            diag[i] = static_cast<std::int64_t>(f.col.size());
            f.col.push_back(me);
            f.val.push_back(0.0);
        }
        f.row_ptr[i + 1] = static_cast<std::int64_t>(f.col.size());
    }
}

bool finish(TriangularFactor &t) {
    const std::size_t n = static_cast<std::size_t>(t.f.rows);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::int64_t k = t.f.row_ptr[i]; k < t.diag[i]; ++k)
            t.f.val.data()[k] *= t.s[i];  // s_i f_ij
        t.s[i] *= t.c;                    // s_i c
    }
    t.c = 1.0;
    if (!all_finite(t.f.val.size(), t.f.val.data()) || !all_finite(n, t.s.data()))
        return false;
    t.lower = triangle(t.f, t.diag, true);
    t.upper = triangle(t.f, t.diag, false);
    t.f = CsrMatrix{};
    t.diag = Array<std::int64_t>{};
    schedule(t);
    return true;
}

void schedule(TriangularFactor &t) {
    const std::size_t n = static_cast<std::size_t>(t.lower.rows);
    const int team = team_size(n);
    if (team < 2)
        return;  // the solve sweeps on one thread: no schedule to make
    t.forward = levels_of(t.lower, true);
    t.backward = levels_of(t.upper, false);
    if (!shared_by_levels(n, t.forward, team))
        t.forward_plan = plan_pipeline(t.lower, true, team);
    if (!shared_by_levels(n, t.backward, team))
        t.backward_plan = plan_pipeline(t.upper, false, team);
}

void TriangularPreconditioner::apply(const double *r, double *z) const {
    const std::size_t n = static_cast<std::size_t>(t_.lower.rows);
    const int team = team_size(n);
    if (shared_by_levels(n, t_.forward, team))
        by_levels(t_.forward, team,
                  [&](std::size_t i) { z[i] = forward_row<false>(t_, i, r, z, 0.0); });
    else if (t_.forward_plan.team == team)
        run_pipeline(t_.forward_plan, [&](std::size_t begin, std::size_t end) {
            // The first row reads its neighbour, if at all, from another block.
            double previous = z[begin] = forward_row<false>(t_, begin, r, z, 0.0);
            for (std::size_t i = begin + 1; i < end; ++i)
                z[i] = previous = forward_row<true>(t_, i, r, z, previous);
        });
    else {
        double previous = 0.0;  // w_i-1
        for (std::size_t i = 0; i < n; ++i)
            z[i] = previous = forward_row<true>(t_, i, r, z, previous);
    }
    if (shared_by_levels(n, t_.backward, team))
        by_levels(t_.backward, team,
                  [&](std::size_t i) { z[i] = backward_row<false>(t_, i, z, 0.0); });
    else if (t_.backward_plan.team == team)
        run_pipeline(t_.backward_plan, [&](std::size_t begin, std::size_t end) {
            // Positions [begin, end) are rows n-1-begin down to n-end.
            double next = z[n - 1 - begin] = backward_row<false>(t_, n - 1 - begin, z, 0.0);
            for (std::size_t i = n - 1 - begin; i-- > n - end;)
                z[i] = next = backward_row<true>(t_, i, z, next);
        });
    else {
        double next = 0.0;  // z_i+1
        for (std::size_t i = n; i-- > 0;)
            z[i] = next = backward_row<true>(t_, i, z, next);
    }
}

long incomplete_lu(CsrMatrix &f, const Array<std::int64_t> &diag, const Vector &tiny,
                   bool positive_pivots) {
    const std::size_t n = static_cast<std::size_t>(f.rows);
    std::vector<std::int64_t> where(n, -1);  // position of column j in row i, or -1
    long replaced = 0;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::int64_t k = f.row_ptr[i]; k < f.row_ptr[i + 1]; ++k)
            where[static_cast<std::size_t>(f.col.data()[k])] = k;
        for (std::int64_t k = f.row_ptr[i]; k < diag[i]; ++k) {  // eliminate a_ij, j < i
            const std::size_t j = static_cast<std::size_t>(f.col.data()[k]);
            const double l = f.val.data()[k] / f.val.data()[diag[j]];  // l_ij = a_ij / u_jj
            f.val.data()[k] = l;
            for (std::int64_t q = diag[j] + 1; q < f.row_ptr[j + 1]; ++q) {
                const std::int64_t p = where[static_cast<std::size_t>(f.col.data()[q])];
                if (p >= 0)                                  // fill outside the pattern is dropped
                    f.val.data()[p] -= l * f.val.data()[q];  // a_ik -= l_ij u_jk
            }
        }
        for (std::int64_t k = f.row_ptr[i]; k < f.row_ptr[i + 1]; ++k)
            where[static_cast<std::size_t>(f.col.data()[k])] = -1;
        double &pivot = f.val.data()[diag[i]];
        if (!std::isfinite(pivot))
            return -1;  // the elimination overflowed
        if (positive_pivots ? pivot > tiny[i] : std::fabs(pivot) >= tiny[i])
            continue;
        if (positive_pivots)
            return -1;
        const double size = tiny[i] > 0.0 ? tiny[i] : 1.0;
        pivot = pivot < 0.0 ? -size : size;  // keep the sign; NaN counts as positive
        ++replaced;
    }
    return replaced;
}

void to_sweep_form(TriangularFactor &t) {
    const std::size_t n = static_cast<std::size_t>(t.f.rows);
    t.s.resize(n);
    t.c = 1.0;
    for (std::size_t i = 0; i < n; ++i)
        t.s[i] = 1.0 / t.f.val.data()[t.diag[i]];
    for (std::size_t i = 0; i < n; ++i) {
        for (std::int64_t k = t.f.row_ptr[i]; k < t.diag[i]; ++k)
            t.f.val.data()[k] *=
                t.f.val.data()[t.diag[static_cast<std::size_t>(t.f.col.data()[k])]];  // l_ij u_jj
        for (std::int64_t k = t.diag[i] + 1; k < t.f.row_ptr[i + 1]; ++k)
            t.f.val.data()[k] *= t.s[i];  // u_ij / u_ii
    }
}

}  // namespace brisvel
