// Solving a context's system: elimination of locked variables, least squares
// on a scaled problem (by LSMR or CGLS, or through the formed normal
// equations), the chosen method, and an honest verdict.
#include "solve/solve.h"

#include "error.h"
#include "kernels/normal_ops.h"
#include "kernels/parallel.h"
#include "kernels/vector_ops.h"
#include "precond/preconditioner.h"
#include "solve/methods.h"
#include "solve/verdict.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <type_traits>

namespace brisvel {
namespace {

// The exponent e with 2^(e-1) <= |v| < 2^e, 0 for v = 0.
int exponent_of(double v) {
    int e = 0;
    std::frexp(v, &e);
    return e;
}

// A least-squares problem brought near unit scale by powers of two, so that
// products with A and A' (and A'A where a method forms it) neither underflow
// nor overflow for entries anywhere from 1e-300 to 1e300: A~ = 2^-e A C and
// b~ = 2^-f b, where e and f put the largest entries in [0.5, 1) and C lifts
// the columns whose entries all lie far below the largest. The scalings are
// exact, so for a problem of ordinary size they change no bit of the answer,
// and x_j = 2^(f - e + c_j) y_j for the solution y of the scaled problem.
// When A's entries lie within 2^+-64 and no column is lifted, e = 0 and A~
// is A itself, not a copy.
struct ScaledLeastSquares {
    const CsrMatrix *original = nullptr;
    CsrMatrix scaled;     // A~, when it is not A
    bool copied = false;  // A~ is scaled rather than *original
    const Vector *given_b = nullptr;
    bool shift_b = false;   // f != 0: b~ is scaled_b rather than *given_b
    Vector scaled_b;        // b~, when it is not b
    Vector atb;             // A~' b~
    ScatterSums sums;       // the partial sums of every sweep over A~
    std::vector<int> lift;  // c_j: 0 unless column j was lifted; empty when none is
    bool any_lift = false;
    int shift = 0;          // f - e
    double norm_atb = 0.0;  // ||C A~' b~||, the measure's denominator
    bool split = false;     // sweeps over A~ in two passes

    const CsrMatrix &a() const { return copied ? scaled : *original; }
    const Vector &b() const { return shift_b ? scaled_b : *given_b; }
    int lift_of(std::size_t j) const { return any_lift ? lift[j] : 0; }
    double to_variable(double y, std::size_t j) const {
        const int e = shift + lift_of(j);
        return e != 0 ? std::ldexp(y, e) : y;
    }
    double from_variable(double x, std::size_t j) const {
        const int e = shift + lift_of(j);
        return e != 0 ? std::ldexp(x, -e) : x;
    }
    // The problem as the least-squares methods see it, with the verdict's
    // measure ||C^-1 A~'(b~ - A~ y)|| / ||C^-1 A~' b~||: that of the original
    // problem, the lifted columns scaled back, the common powers of two
    // cancelling.
    NormalSystem system() {
        return NormalSystem{a(),  b(),  any_lift ? lift.data() : nullptr, norm_atb, split,
                            &atb, &sums};
    }
};

// Columns whose largest entry lies this many binary orders below the
// matrix's largest are lifted: their squares would otherwise underflow.
constexpr int lift_threshold = 200;
// Entries within this many binary orders of 1 need no scaling of A.
constexpr int unscaled_range = 64;

ScaledLeastSquares scale_least_squares(const CsrMatrix &a, const Vector &b) {
    ScaledLeastSquares s;
    const std::size_t cols = static_cast<std::size_t>(a.cols);
    // The largest and the smallest nonzero |a_ij|, in one streaming pass
    // (entries are finite: no NaN to pass over).
    double largest = 0.0, smallest = std::numeric_limits<double>::infinity();
    for (double v : a.val) {
        const double size = std::fabs(v);
        largest = std::max(largest, size);
        if (size > 0.0)
            smallest = std::min(smallest, size);
    }
    double b_max = 0.0;
    for (double v : b)
        b_max = std::max(b_max, std::fabs(v));
    int e = exponent_of(largest);
    const int f = exponent_of(b_max);
    // A column is lifted when its exponent lies more than lift_threshold
    // below e, that is when its largest entry is below 2^(e - lift_threshold - 1).
    // No column can be when no entry at all is: then the columns' maxima
    // are never needed.
    const int low = e - lift_threshold - 1;
    const double lift_below = low >= -1074 ? std::ldexp(1.0, low) : 0.0;
    if (smallest < lift_below) {
        std::vector<double> column_max(cols, 0.0);
        for (std::size_t k = 0; k < a.val.size(); ++k) {
            double &most = column_max[static_cast<std::size_t>(a.col[k])];
            most = std::max(most, std::fabs(a.val[k]));
        }
        s.lift.assign(cols, 0);
        for (std::size_t j = 0; j < cols; ++j)
            if (column_max[j] > 0.0 && column_max[j] < lift_below) {
                s.lift[j] = e - exponent_of(column_max[j]);  // multiply column j by 2^lift
                s.any_lift = true;
            }
    }
    s.original = &a;
    s.copied = s.any_lift || std::abs(e) > unscaled_range;
    if (!s.copied)
        e = 0;
    s.shift = f - e;
    if (s.copied) {
        s.scaled = a;
        for (std::size_t k = 0; k < s.scaled.val.size(); ++k)
            s.scaled.val[k] = std::ldexp(s.scaled.val[k],
                                         s.lift_of(static_cast<std::size_t>(s.scaled.col[k])) - e);
    }
    s.given_b = &b;
    s.shift_b = f != 0;
    if (s.shift_b) {
        s.scaled_b = b;
        if (std::abs(f) < 1000) {  // 2^-f is a normal number: multiplying by it is ldexp
            const double factor = std::ldexp(1.0, -f);
            for (double &v : s.scaled_b)
                v *= factor;
        } else {
            for (double &v : s.scaled_b)
                v = std::ldexp(v, -f);
        }
    }
    s.atb.resize(cols);
    s.split = split_sweeps(s.a());
    s.sums = ScatterSums(cols);
    transposed_product(s.a(), s.split, s.b().data(), s.atb.data(), s.sums);  // A~' b~
    if (s.any_lift) {
        Vector c(cols);
        for (std::size_t j = 0; j < cols; ++j)
            c[j] = std::ldexp(s.atb[j], -s.lift[j]);  // C^-1 A~' b~ = 2^-e A' b~
        s.norm_atb = norm2(cols, c.data());
    } else {
        s.norm_atb = norm2(cols, s.atb.data());
        std::vector<int>().swap(s.lift);  // (all zeros, when some entry was small)
    }
    return s;
}

// Row i's sums over its entries, for the residual of x in extended precision.
struct RowSums {
    std::size_t first, last;  // its entries
    long double r;            // r_i = b_i - (A x)_i
    long double c;            // c_i = b_i less the locked variables' terms
    long double bound;        // bound on the rounding of r_i
};

// What the product by A' gathers for column j, together, so that an entry
// of a row costs one line of memory: (A'r)_j, the bound on its rounding
// (sum_i |a_ij| times the bound on r_i, plus u |s| for each partial sum s
// and each product), and (A'c)_j alongside, or not (lean: A'c is made in a
// sweep of its own before, in g). A square system has none.
// (Plain data, kept in zeroed bytes: zero bytes are 0.0L, and zeroing them
// is a fill rather than one extended-precision store a field.)
struct LeanColumn {
    long double g, bound;
};
struct FullColumn {
    long double g, bound, c;
    long double unused;  // a whole line: large arrays start on one
};
struct NoColumn {};

// problem_residual, with the column sums of least squares in Column.
template <class Column> double residual_of(const Context &ctx, const Vector &x) {
    using Wide = long double;
    constexpr bool least_squares = !std::is_same_v<Column, NoColumn>;
    constexpr bool lean = std::is_same_v<Column, LeanColumn>;
    const Wide u = std::numeric_limits<Wide>::epsilon() / 2;  // the unit roundoff
    const CsrMatrix &a = ctx.matrix;
    const std::size_t cols = least_squares ? x.size() : 0, rows = ctx.rhs.size();
    Array<unsigned char> room(cols * sizeof(Column));  // zeros
    Column *column = reinterpret_cast<Column *>(room.data());
    auto row_sums = [&](std::size_t i) {
        RowSums s{static_cast<std::size_t>(a.row_ptr[i]),
                  static_cast<std::size_t>(a.row_ptr[i + 1]), ctx.rhs[i], ctx.rhs[i],
                  std::fabs(static_cast<Wide>(ctx.rhs[i]))};
        for (std::size_t k = s.first; k < s.last; ++k) {
            const auto j = static_cast<std::size_t>(a.col[k]);
            const Wide term = static_cast<Wide>(a.val[k]) * x[j];
            s.r -= term;  // r_i = b_i - (A x)_i
            if (ctx.locked[j] != 0)
                s.c -= term;  // c_i = b_i - (A_locked x_locked)_i
            s.bound += std::fabs(term);
        }
        s.bound *= static_cast<Wide>(s.last - s.first + 1) * u;
        return s;
    };
    constexpr std::size_t ahead = 16;  // rows: what a row reads is asked for this early
    Wide rr = 0.0L, cc = 0.0L, bb = 0.0L;
    // One sweep over the rows, gathering into the columns [lo, hi) alone:
    // sweep 0 makes A'c in g (lean), sweep 1 the rest.
    auto sweep_rows = [&](int sweep, std::size_t lo, std::size_t hi) {
        for (std::size_t i = 0; i < rows; ++i) {
#if defined(__GNUC__)  // (written out here: GCC 12 drops prefetches in a helper)
            if (i + ahead < rows)
                for (std::int64_t k = a.row_ptr[i + ahead]; k < a.row_ptr[i + ahead + 1]; ++k) {
                    const auto j = static_cast<std::size_t>(a.col[static_cast<std::size_t>(k)]);
                    __builtin_prefetch(&x[j]);
                    __builtin_prefetch(&ctx.locked[j]);
                    if (least_squares && j >= lo && j < hi)
                        __builtin_prefetch(&column[j], 1);
                }
#endif
            const RowSums s = row_sums(i);
            if constexpr (!least_squares) {
                rr += s.r * s.r;
                cc += s.c * s.c;
                bb += s.bound * s.bound;
                continue;
            } else {
                for (std::size_t k = s.first; k < s.last; ++k) {
                    const auto j = static_cast<std::size_t>(a.col[k]);
                    if (j < lo || j >= hi)
                        continue;  // another part's column
                    Column &col = column[j];
                    const Wide a_ij = a.val[k], term = a_ij * s.r;
                    if (sweep == 0) {
                        col.g += a_ij * s.c;  // A' c
                        continue;
                    }
                    col.g += term;  // g = A' r
                    col.bound +=
                        std::fabs(a_ij) * s.bound + u * (std::fabs(term) + std::fabs(col.g));
                    if constexpr (!lean)
                        col.c += a_ij * s.c;  // A' c
                }
            }
        }
    };
    // A team shares the columns out: each thread makes every row's sums
    // and gathers into its own columns, each column's terms in row order,
    // so the sums are the same for any team.
    const std::size_t parts =
        least_squares ? std::min<std::size_t>(static_cast<std::size_t>(team_size(cols)), 4) : 1;
    for (int sweep = lean ? 0 : 1; sweep < 2; ++sweep) {
        for_blocks(parts, static_cast<int>(parts), [&](std::size_t p) {
            sweep_rows(sweep, cols * p / parts, cols * (p + 1) / parts);
        });
        if constexpr (lean)
            if (sweep == 0)
                for (std::size_t j = 0; j < cols; ++j) {
                    if (ctx.locked[j] == 0)  // an unknown's column
                        cc += column[j].g * column[j].g;
                    column[j].g = 0.0L;
                }
    }
    if constexpr (least_squares)
        for (std::size_t j = 0; j < cols; ++j)
            if (ctx.locked[j] == 0) {  // an unknown's column
                rr += column[j].g * column[j].g;
                bb += column[j].bound * column[j].bound;
                if constexpr (!lean)
                    cc += column[j].c * column[j].c;
            }
    const Wide numerator = std::sqrt(rr > bb || rr != rr ? rr : bb);
    return static_cast<double>(cc > 0.0L ? numerator / std::sqrt(cc) : numerator);
}

// The relative residual of the problem as given, for all the variables'
// values x as they are written (the locked ones included): ||b - Ax|| / ||c||
// for a square system, ||A'(b - Ax)|| / ||A'c|| over the unknowns' columns in
// least squares, where c = b less the locked variables' terms. Computed in
// extended precision, whose range holds every product of two doubles, so
// that no scaling, underflow or cancellation can hide a term from the
// verdict; and never below the rounding error of computing it: |A'| times
// the bound of each entry of r, plus that of the product by A' itself.
// Least squares takes one sweep over A and 64 bytes a column, or, lean,
// two sweeps and 32 bytes a column.
double problem_residual(const Context &ctx, const Vector &x, bool lean) {
    if (!ctx.params.least_squares)
        return residual_of<NoColumn>(ctx, x);
    return lean ? residual_of<LeanColumn>(ctx, x) : residual_of<FullColumn>(ctx, x);
}

// True for the codes with which iterations end early, before any answer is
// judged: the limit, stagnation, a breakdown and the callback. A refusal to
// start (a bad code, a matrix the method cannot take, a preconditioner or a
// factorisation that could not be built) is none of them.
bool stopped_iterating(int code) {
    return code == QV_ERROR_NOT_CONVERGED || code == QV_ERROR_STAGNATED ||
           code == QV_ERROR_BREAKDOWN || code == QV_ERROR_INTERRUPTED;
}

SolveControl control_of(Context &ctx, std::size_t unknowns) {
    const Parameters &p = ctx.params;
    SolveControl control;
    const int n = static_cast<int>(unknowns);
    control.max_iterations = p.max_iterations > 0 ? p.max_iterations : std::max(1000, 2 * n);
    control.threshold = p.threshold;
    control.restart = p.gmres_restart;
    control.progress = ctx.progress;
    control.progress_data = ctx.progress_data;
    control.workspace = &ctx.workspace;  // safe: the context refuses changes while solving
    return control;
}

// Builds the context's preconditioner from m (its time is the setup's) and
// runs iterate(preconditioner, control) with it.
template <class Iterate>
SolveResult run_preconditioned(Context &ctx, const CsrMatrix &m, std::size_t unknowns,
                               Iterate iterate) {
    const PreconditionerKind *kind = find_preconditioner(ctx.params.preconditioner);
    if (kind == nullptr)
        return SolveResult{BRISVEL_ERROR(QV_ERROR_INVALID_CODE), 0, 0.0};
    if (ctx.params.least_squares && !kind->least_squares)
        return SolveResult{BRISVEL_ERROR(QV_ERROR_INVALID_VALUE), 0, 0.0};
    const double start = seconds();
    const BuiltPreconditioner pre =
        kind->make(m, ctx.params);  // factorisations count as solve time
    if (pre.code != QV_OK)
        return SolveResult{BRISVEL_ERROR(pre.code), 0, 0.0};
    const double setup = seconds() - start;
    SolveResult result = iterate(*pre.preconditioner, control_of(ctx, unknowns));
    result.setup_seconds = setup;
    result.hierarchy = pre.preconditioner->hierarchy();
    return result;
}

// Solves m x = rhs with the method the table gives.
SolveResult run_method(const Method &method, Context &ctx, const CsrMatrix &m, const Vector &rhs,
                       Vector &x) {
    if (method.available != nullptr && !method.available())
        return SolveResult{BRISVEL_ERROR(QV_ERROR_EXTENSION_UNAVAILABLE), 0, 0.0};
    if (method.needs_symmetry && !is_symmetric(m))
        return SolveResult{BRISVEL_ERROR(QV_ERROR_NOT_SYMMETRIC), 0, 0.0};
    if (method.kind == MethodKind::Direct) {
        const double start = seconds();
        SolveResult result = method.direct(m, rhs, x);
        result.setup_seconds = seconds() - start;  // the factorisation is nearly all of it
        return result;
    }
    return run_preconditioned(ctx, m, x.size(),
                              [&](const Preconditioner &pre, const SolveControl &control) {
                                  return method.iterative(m, pre, rhs, x, control);
                              });
}

// Solves m x = rhs, m symmetric and stored as its upper triangle, with the
// method's form for it; the preconditioner's row allows it (from_upper).
SolveResult run_upper_method(const Method &method, Context &ctx, const SymmetricCsr &m,
                             const Vector &rhs, Vector &x) {
    return run_preconditioned(ctx, m.upper, x.size(),
                              [&](const Preconditioner &pre, const SolveControl &control) {
                                  return method.upper(m, pre, rhs, x, control);
                              });
}

// Solves the least-squares problem s with a method that never forms A'A.
SolveResult run_normal_method(const Method &method, Context &ctx, ScaledLeastSquares &s,
                              Vector &x) {
    const PreconditionerKind *kind = find_preconditioner(ctx.params.preconditioner);
    if (kind == nullptr)
        return SolveResult{BRISVEL_ERROR(QV_ERROR_INVALID_CODE), 0, 0.0};
    const double start = seconds();
    const auto pre = kind->make_normal(s.a(), ctx.params);
    const double setup = seconds() - start;
    SolveResult result = method.normal(s.system(), *pre, x, control_of(ctx, x.size()));
    result.setup_seconds = setup;
    return result;
}

SolveResult solve_checked(Context &ctx) {
    const Parameters &p = ctx.params;
    const Method *method = find_method(p.method, p.least_squares);
    if (method == nullptr)
        return SolveResult{BRISVEL_ERROR(QV_ERROR_INVALID_CODE), 0, 0.0};
    if (!all_finite(ctx.matrix.val.size(), ctx.matrix.val.data()))
        return SolveResult{BRISVEL_ERROR(QV_ERROR_NOT_FINITE), 0,
                           0.0};  // repeated entries overflowed
    const bool any_locked = std::any_of(ctx.locked.begin(), ctx.locked.end(),
                                        [](unsigned char locked) { return locked != 0; });
    const ReducedSystem reduced = any_locked ? reduce_locked(ctx) : ReducedSystem{};
    const CsrMatrix &a = any_locked ? reduced.matrix : ctx.matrix;
    const Vector &b = any_locked ? reduced.rhs : ctx.rhs;
    const std::size_t n = any_locked ? reduced.unknowns.size() : ctx.values.size();
    auto variable = [&](std::size_t k) {
        return any_locked ? static_cast<std::size_t>(reduced.unknowns[k]) : k;
    };
    if (n == 0 || a.rows == 0 || (!p.least_squares && static_cast<std::size_t>(a.rows) != n))
        return SolveResult{BRISVEL_ERROR(QV_ERROR_DIMENSION), 0, 0.0};
    if (!all_finite(b.size(), b.data()))
        return SolveResult{BRISVEL_ERROR(QV_ERROR_NOT_FINITE), 0, 0.0};  // locked terms overflowed

    ScaledLeastSquares ls;
    CsrMatrix normal;
    SymmetricCsr normal_upper;  // or A'A as its upper triangle: half the memory
    if (p.least_squares) {
        ls = scale_least_squares(a, b);
        const PreconditionerKind *kind = find_preconditioner(p.preconditioner);
        const bool has_normal_form = kind != nullptr && kind->make_normal != nullptr;
        if (method->kind != MethodKind::Normal || !has_normal_form || normal_matrix_pays(ls.a())) {
            Vector().swap(ls.scaled_b);  // A'b is all the methods on A'A need of b
            ls.sums = ScatterSums();
            // Minimise ||b - Ax|| by A'A x = A'b. The upper triangle is
            // enough where the preconditioner reads only the diagonal; the
            // product then pays when A'A's rows stay within a block of the
            // diagonal, since each thread replays that much above its run.
            if (method->upper != nullptr && kind != nullptr && kind->from_upper &&
                normal_reach(ls.a()) <= static_cast<std::int64_t>(block_size))
                normal_upper = symmetric_from_upper(normal_matrix(ls.a(), true));
            else
                normal = normal_matrix(ls.a());
        }
    }
    const CsrMatrix &m = p.least_squares ? normal : a;
    const Vector &rhs = p.least_squares ? ls.atb : b;
    // A method's answer y (or the initial guess) as the variables would hold
    // it: with the locked variables' values, when there are any.
    auto as_written = [&](const Vector &y) {
        Vector all = any_locked ? ctx.values : Vector(n);
        for (std::size_t k = 0; k < n; ++k)
            all[variable(k)] = p.least_squares ? ls.to_variable(y[k], k) : y[k];
        return all;
    };
    auto unknowns_finite = [&](const Vector &all) {
        if (!any_locked)
            return all_finite(n, all.data());
        for (std::size_t k = 0; k < n; ++k)
            if (!std::isfinite(all[variable(k)]))
                return false;
        return true;
    };
    // The variables are the initial guess; they stay as they are until the
    // answer is written, so it is made from them again when needed.
    auto initial_guess = [&]() {
        Vector x0(n);
        for (std::size_t k = 0; k < n; ++k) {
            const double value = ctx.values[variable(k)];
            x0[k] = p.least_squares ? ls.from_variable(value, k) : value;
        }
        return x0;
    };
    Vector x = initial_guess();

    const bool on_upper = normal_upper.upper.rows > 0;
    const bool matrix_free = method->kind == MethodKind::Normal && normal.rows == 0 && !on_upper;
    SolveResult result = matrix_free ? run_normal_method(*method, ctx, ls, x)
                         : on_upper  ? run_upper_method(*method, ctx, normal_upper, rhs, x)
                                     : run_method(*method, ctx, m, rhs, x);
    // A'A, b~ and A~'b~ are done with: the verdict needs room of its own.
    // After a solve on A'A, memory is tight: the verdict takes the lean form.
    const bool lean = normal.rows > 0 || on_upper;
    normal = CsrMatrix();
    normal_upper = SymmetricCsr();
    Vector().swap(ls.scaled_b);
    Vector().swap(ls.atb);
    ls.sums = ScatterSums();
    const bool x_finite = all_finite(n, x.data());
    Vector answer = as_written(x);  // judged with every variable, as written
    Vector().swap(x);
    // An answer that meets the threshold by a wide margin of rounding is
    // judged in double precision; otherwise in extended precision.
    double x_residual = std::numeric_limits<double>::quiet_NaN();
    if (x_finite && p.least_squares)
        x_residual = proven_normal_residual(ctx, answer, p.threshold, !lean);
    if (x_finite && std::isnan(x_residual))
        x_residual = problem_residual(ctx, answer, lean);
    // A method that took its answer for good when the verdict does not has
    // met the limit of its own precision (the verdict's is higher): it has
    // stagnated.
    if (result.code == QV_OK && !meets_threshold(x_residual, p.threshold))
        result.code = x_finite ? QV_ERROR_STAGNATED : BRISVEL_ERROR(QV_ERROR_BREAKDOWN);
    if (result.code != QV_OK) {  // keep the better of the last iterate and the initial guess
        // (the variables as they are: a guess far beyond the scale of a
        // least-squares problem may not survive a trip through its scaling)
        const double x0_residual = problem_residual(ctx, ctx.values, lean);
        if (!(x_residual <= x0_residual)) {  // a NaN residual never wins
            answer = ctx.values;
            x_residual = x0_residual;
        }
    }
    // The verdict decides: an answer kept that meets the threshold succeeds
    // however the iterations ended.
    if (stopped_iterating(result.code) && meets_threshold(x_residual, p.threshold))
        result.code = QV_OK;
    result.residual = x_residual;
    if (!unknowns_finite(answer)) {  // the answer is out of range: never write it
        Vector().swap(answer);
        return SolveResult{BRISVEL_ERROR(QV_ERROR_BREAKDOWN), result.iterations,
                           problem_residual(ctx, ctx.values, lean)};
    }
    if (any_locked)
        for (std::size_t k = 0; k < n; ++k)
            ctx.values[variable(k)] = answer[variable(k)];
    else
        ctx.values.swap(answer);
    return result;
}

}  // namespace

SolveResult solve_system(Context &ctx) {
    const TeamReservation team(ctx.params.threads);  // this solve's own team
    try {
        return solve_checked(ctx);
    } catch (const std::bad_alloc &) {
        return SolveResult{BRISVEL_ERROR(QV_ERROR_OUT_OF_MEMORY), 0, 0.0};
    }
}

}  // namespace brisvel
