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
#include <memory>
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

// Multiplies every entry of v by 2^e, exactly unless it overflows or turns
// subnormal.
void scale_by_power_of_two(Vector &v, int e) {
    if (std::abs(e) < 1000) {  // 2^e is a normal number: multiplying by it is ldexp
        const double factor = std::ldexp(1.0, e);
        for (double &x : v)
            x *= factor;
    } else {
        for (double &x : v)
            x = std::ldexp(x, e);
    }
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
    int matrix_exponent = 0;  // e
    int shift = 0;            // f - e
    double norm_atb = 0.0;    // ||C A~' b~||, the measure's denominator
    bool split = false;       // sweeps over A~ in two passes

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

}  // namespace

// What a least-squares method that never forms A'A keeps from one solve to
// the next: the matrix's part of the scaling (with room for each right-hand
// side's), and the preconditioner.
struct LeastSquaresSetup {
    ScaledLeastSquares ls;
    std::unique_ptr<NormalPreconditioner> preconditioner;
};

void LeastSquaresSetupDelete::operator()(LeastSquaresSetup *kept) const {
    std::default_delete<LeastSquaresSetup>()(kept);
}

namespace {

// Columns whose largest entry lies this many binary orders below the
// matrix's largest are lifted: their squares would otherwise underflow.
constexpr int lift_threshold = 200;
// Entries within this many binary orders of 1 need no scaling of A.
constexpr int unscaled_range = 64;

// The matrix's part of the scaling, A~ = 2^-e A C, which every right-hand
// side shares.
ScaledLeastSquares scale_matrix(const CsrMatrix &a) {
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
    int e = exponent_of(largest);
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
    if (!s.any_lift)
        std::vector<int>().swap(s.lift);  // (all zeros, when some entry was small)
    s.original = &a;
    s.copied = s.any_lift || std::abs(e) > unscaled_range;
    if (!s.copied)
        e = 0;
    s.matrix_exponent = e;
    if (s.copied) {
        s.scaled = a;
        for (std::size_t k = 0; k < s.scaled.val.size(); ++k)
            s.scaled.val[k] = std::ldexp(s.scaled.val[k],
                                         s.lift_of(static_cast<std::size_t>(s.scaled.col[k])) - e);
    }
    s.split = split_sweeps(s.a());
    return s;
}

// The right-hand side's part, b~ = 2^-f b, and A~' b~ with its measure,
// ||C^-1 A~' b~||; the sweeps' partial sums kept from one right-hand side
// to the next.
void scale_rhs(ScaledLeastSquares &s, const Vector &b) {
    const std::size_t cols = static_cast<std::size_t>(s.a().cols);
    double b_max = 0.0;
    for (double v : b)
        b_max = std::max(b_max, std::fabs(v));
    const int f = exponent_of(b_max);
    s.shift = f - s.matrix_exponent;
    s.given_b = &b;
    s.shift_b = f != 0;
    if (s.shift_b) {
        s.scaled_b = b;
        scale_by_power_of_two(s.scaled_b, -f);
    }
    s.atb.resize(cols);
    if (!s.sums.fits(cols))
        s.sums = ScatterSums(cols);
    transposed_product(s.a(), s.split, s.b().data(), s.atb.data(), s.sums);  // A~' b~
    if (s.any_lift) {
        Vector c(cols);
        for (std::size_t j = 0; j < cols; ++j)
            c[j] = std::ldexp(s.atb[j], -s.lift[j]);  // C^-1 A~' b~ = 2^-e A' b~
        s.norm_atb = norm2(cols, c.data());
    } else {
        s.norm_atb = norm2(cols, s.atb.data());
    }
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
template <class Column> double residual_of(const GivenSystem &given, const Vector &x) {
    using Wide = long double;
    constexpr bool least_squares = !std::is_same_v<Column, NoColumn>;
    constexpr bool lean = std::is_same_v<Column, LeanColumn>;
    const Wide u = std::numeric_limits<Wide>::epsilon() / 2;  // the unit roundoff
    const CsrMatrix &a = given.a;
    const std::size_t cols = least_squares ? x.size() : 0, rows = given.b.size();
    Array<unsigned char> room(cols * sizeof(Column));  // zeros
    Column *column = reinterpret_cast<Column *>(room.data());
    auto row_sums = [&](std::size_t i) {
        RowSums s{static_cast<std::size_t>(a.row_ptr[i]),
                  static_cast<std::size_t>(a.row_ptr[i + 1]), given.b[i], given.b[i],
                  std::fabs(static_cast<Wide>(given.b[i]))};
        for (std::size_t k = s.first; k < s.last; ++k) {
            const auto j = static_cast<std::size_t>(a.col[k]);
            const Wide term = static_cast<Wide>(a.val[k]) * x[j];
            s.r -= term;  // r_i = b_i - (A x)_i
            if (given.locked[j] != 0)
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
                    __builtin_prefetch(&given.locked[j]);
                    if (least_squares && j >= lo && j < hi)
                        __builtin_prefetch(&column[j], 1);
                }
#endif
            const RowSums s = row_sums(i);
            if constexpr (least_squares) {
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
    if constexpr (!least_squares) {
        // A team shares the rows out by fixed blocks, whose sums are added
        // in block order: the same for any team.
        const std::array<Wide, 3> sums =
            parallel_sum<3, Wide>(rows, [&](std::size_t begin, std::size_t end, auto &part) {
                for (std::size_t i = begin; i < end; ++i) {
                    const RowSums s = row_sums(i);
                    part[0] += s.r * s.r;
                    part[1] += s.c * s.c;
                    part[2] += s.bound * s.bound;
                }
            });
        rr = sums[0];
        cc = sums[1];
        bb = sums[2];
        const Wide numerator = std::sqrt(rr > bb || rr != rr ? rr : bb);
        return static_cast<double>(cc > 0.0L ? numerator / std::sqrt(cc) : numerator);
    }
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
                    if (given.locked[j] == 0)  // an unknown's column
                        cc += column[j].g * column[j].g;
                    column[j].g = 0.0L;
                }
    }
    if constexpr (least_squares)
        for (std::size_t j = 0; j < cols; ++j)
            if (given.locked[j] == 0) {  // an unknown's column
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
double problem_residual(const GivenSystem &given, bool least_squares, const Vector &x, bool lean) {
    if (!least_squares)
        return residual_of<NoColumn>(given, x);
    return lean ? residual_of<LeanColumn>(given, x) : residual_of<FullColumn>(given, x);
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

// The unknowns of one system and how its variables are made from them.
struct Unknowns {
    const Setup &setup;
    std::size_t count;
    const ScaledLeastSquares *ls = nullptr;  // least squares: the scaling of its unknowns

    std::size_t variable(std::size_t k) const {
        return setup.any_locked ? static_cast<std::size_t>(setup.reduced.unknowns[k]) : k;
    }
    // The initial guess from the variables' values.
    void guess(const Vector &values, Vector &x0) const {
        x0.resize(count);
        for (std::size_t k = 0; k < count; ++k) {
            const double value = values[variable(k)];
            x0[k] = ls != nullptr ? ls->from_variable(value, k) : value;
        }
    }
    // The answer y as the variables would hold it, the locked ones included.
    void write(const Vector &y, const Vector &values, Vector &all) const {
        if (setup.any_locked)
            all = values;
        else
            all.resize(count);
        for (std::size_t k = 0; k < count; ++k)
            all[variable(k)] = ls != nullptr ? ls->to_variable(y[k], k) : y[k];
    }
    bool finite(const Vector &all) const {
        if (!setup.any_locked)
            return all_finite(count, all.data());
        for (std::size_t k = 0; k < count; ++k)
            if (!std::isfinite(all[variable(k)]))
                return false;
        return true;
    }
};

// The verdict on a method's answer x (over the unknowns) to one system, and
// the answer written into its variables' values, which held the initial
// guess. result tells how the method ended; its code is made the verdict's.
// answer is room for the variables, kept from one solve to the next.
void judge(const Context &ctx, const GivenSystem &given, const Unknowns &unknowns, bool lean,
           const Vector &x, Vector &values, Vector &answer, SolveResult &result) {
    const Parameters &p = ctx.params;
    const bool x_finite = all_finite(unknowns.count, x.data());
    unknowns.write(x, values, answer);  // judged with every variable, as written
    // An answer that meets the threshold by a wide margin of rounding is
    // judged in double precision, by norm-wise bounds first, else by
    // component-wise ones; otherwise in extended precision.
    double x_residual = std::numeric_limits<double>::quiet_NaN();
    const bool bounded = p.least_squares && ctx.setup.bounds_assembly == ctx.assembly;
    if (x_finite && bounded)
        x_residual = bounded_normal_residual(given, answer, ctx.setup.bounds, p.threshold, !lean);
    if (x_finite && bounded && std::isnan(x_residual))
        x_residual = proven_normal_residual(given, answer, ctx.setup.bounds, p.threshold, !lean);
    if (x_finite && std::isnan(x_residual))
        x_residual = problem_residual(given, p.least_squares, answer, lean);
    // A method that took its answer for good when the verdict does not has
    // met the limit of its own precision (the verdict's is higher): it has
    // stagnated.
    if (result.code == QV_OK && !meets_threshold(x_residual, p.threshold))
        result.code = x_finite ? QV_ERROR_STAGNATED : BRISVEL_ERROR(QV_ERROR_BREAKDOWN);
    bool keep_guess = false;
    if (result.code != QV_OK) {  // keep the better of the last iterate and the initial guess
        // (the variables as they are: a guess far beyond the scale of a
        // least-squares problem may not survive a trip through its scaling)
        const double x0_residual = problem_residual(given, p.least_squares, values, lean);
        if (!(x_residual <= x0_residual)) {  // a NaN residual never wins
            keep_guess = true;
            x_residual = x0_residual;
        }
    }
    // The verdict decides: an answer kept that meets the threshold succeeds
    // however the iterations ended.
    if (stopped_iterating(result.code) && meets_threshold(x_residual, p.threshold))
        result.code = QV_OK;
    result.residual = x_residual;
    if (keep_guess)
        return;
    if (!unknowns.finite(answer)) {  // the answer is out of range: never write it
        result.code = BRISVEL_ERROR(QV_ERROR_BREAKDOWN);
        result.residual = problem_residual(given, p.least_squares, values, lean);
        return;
    }
    values.swap(answer);  // the old values' room serves the next answer
}

// ---- Least squares: the setup is made for each system ----

// Builds the preconditioner kind gives for m (its time is the setup's) and
// runs iterate(preconditioner, control) with it.
template <class Iterate>
SolveResult run_preconditioned(Context &ctx, const CsrMatrix &m, std::size_t unknowns,
                               Iterate iterate) {
    const PreconditionerKind *kind = find_preconditioner(ctx.params.preconditioner);
    if (kind == nullptr)
        return SolveResult{BRISVEL_ERROR(QV_ERROR_INVALID_CODE), 0, 0.0};
    if (!kind->least_squares)
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

// Solves the normal equations m x = rhs with the method the table gives.
SolveResult run_on_normal_equations(const Method &method, Context &ctx, const CsrMatrix &m,
                                    const Vector &rhs, Vector &x) {
    if (method.available != nullptr && !method.available())
        return SolveResult{BRISVEL_ERROR(QV_ERROR_EXTENSION_UNAVAILABLE), 0, 0.0};
    if (method.kind == MethodKind::Direct) {
        const double start = seconds();
        const BuiltFactorisation built = method.direct(m);
        SolveResult result{built.code, 0, 0.0};
        if (built.code == QV_OK)
            result.code = built.factor->solve(rhs.data(), x.data(), 1);
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

// Minimises ||b - A x|| for one system's b (over the unknowns) into its
// values, by a method that never forms A'A: the scaled matrix and the
// preconditioner are the setup's, made when it has none.
SolveResult solve_matrix_free(Context &ctx, const Method &method, const PreconditionerKind &kind,
                              const GivenSystem &given, const Vector &b, Vector &values,
                              Vector &answer) {
    Setup &setup = ctx.setup;
    double setup_seconds = 0.0;
    if (setup.least_squares->preconditioner == nullptr) {
        const double start = seconds();
        setup.least_squares->preconditioner =
            kind.make_normal(setup.least_squares->ls.a(), ctx.params);
        setup_seconds = seconds() - start;
    }
    LeastSquaresSetup &kept = *setup.least_squares;
    scale_rhs(kept.ls, b);
    const Unknowns unknowns{setup, static_cast<std::size_t>(kept.ls.a().cols), &kept.ls};
    unknowns.guess(values, setup.x);
    SolveResult result = method.normal(kept.ls.system(), *kept.preconditioner, setup.x,
                                       control_of(ctx, setup.x.size()));
    result.setup_seconds = setup_seconds;
    // b~, A~'b~ and the sweeps' sums are made again for each right-hand
    // side; they go before the verdict, which needs room of its own.
    Vector().swap(kept.ls.scaled_b);
    Vector().swap(kept.ls.atb);
    kept.ls.sums = ScatterSums();
    judge(ctx, given, unknowns, false, setup.x, values, answer, result);
    return result;
}

// Minimises ||b - A x|| for one system's b (over the unknowns) into its values.
SolveResult solve_least_squares(Context &ctx, const Method &method, const GivenSystem &given,
                                const Vector &b, Vector &values, Vector &answer) {
    const Parameters &p = ctx.params;
    Setup &setup = ctx.setup;
    const PreconditionerKind *kind = find_preconditioner(p.preconditioner);
    if (kind == nullptr)
        return SolveResult{BRISVEL_ERROR(QV_ERROR_INVALID_CODE), 0, 0.0};
    if (!same_setup_settings(setup.params, p)) {
        setup.least_squares.reset();
        setup.params = p;
    }
    if (setup.least_squares != nullptr)  // kept from the last solve
        return solve_matrix_free(ctx, method, *kind, given, b, values, answer);
    const CsrMatrix &a = setup.matrix(ctx.matrix);
    ScaledLeastSquares ls = scale_matrix(a);
    if (method.kind == MethodKind::Normal && kind->make_normal != nullptr &&
        !normal_matrix_pays(ls.a())) {
        setup.least_squares.reset(std::make_unique<LeastSquaresSetup>().release());
        setup.least_squares->ls = std::move(ls);
        return solve_matrix_free(ctx, method, *kind, given, b, values, answer);
    }
    // Minimise ||b - Ax|| by A'A x = A'b, formed for this solve alone. The
    // upper triangle is enough where the preconditioner reads only the
    // diagonal; the product then pays when A'A's rows stay within a block of
    // the diagonal, since each thread replays that much above its run.
    scale_rhs(ls, b);
    Vector().swap(ls.scaled_b);  // A'b is all the methods on A'A need of b
    ls.sums = ScatterSums();
    CsrMatrix normal;
    SymmetricCsr normal_upper;  // or A'A as its upper triangle: half the memory
    if (method.upper != nullptr && kind->from_upper &&
        normal_reach(ls.a()) <= static_cast<std::int64_t>(block_size))
        normal_upper = symmetric_from_upper(normal_matrix(ls.a(), true));
    else
        normal = normal_matrix(ls.a());
    const Unknowns unknowns{setup, static_cast<std::size_t>(a.cols), &ls};
    Vector x;
    unknowns.guess(values, x);
    const bool on_upper = normal_upper.upper.rows > 0;
    SolveResult result = on_upper ? run_upper_method(method, ctx, normal_upper, ls.atb, x)
                                  : run_on_normal_equations(method, ctx, normal, ls.atb, x);
    // A'A and A~'b~ are done with: the verdict needs room of its own, and
    // takes the lean form, memory being tight.
    normal = CsrMatrix();
    normal_upper = SymmetricCsr();
    Vector().swap(ls.atb);
    judge(ctx, given, unknowns, true, x, values, answer, result);
    return result;
}

// ---- Square systems: the setup is kept ----

// The code of a system not yet solved.
constexpr std::int32_t pending = -1;

// Makes the setup's reduction for the context's assembly, unless it has it:
// the matrix checked, the locked variables eliminated. The preconditioner
// was made for an older one and goes; a factorisation stays, for a matrix
// of the same pattern to refactor.
int prepare_reduction(Context &ctx) {
    Setup &s = ctx.setup;
    if (s.assembly == ctx.assembly)
        return QV_OK;
    forget_assembly(s);
    if (!all_finite(ctx.matrix.val.size(), ctx.matrix.val.data()))
        return BRISVEL_ERROR(QV_ERROR_NOT_FINITE);  // repeated entries overflowed
    s.any_locked = std::any_of(ctx.locked.begin(), ctx.locked.end(),
                               [](unsigned char locked) { return locked != 0; });
    if (s.any_locked)
        s.reduced = reduce_locked(ctx);
    s.assembly = ctx.assembly;
    return QV_OK;
}

// True when the factorisation kept was made with the locks of ctx and a
// matrix of m's pattern.
bool factor_fits_pattern(const Setup &s, const Context &ctx, const CsrMatrix &m) {
    return s.factor != nullptr && s.locked == ctx.locked &&
           s.pattern_rows.size() == m.row_ptr.size() && s.pattern_cols.size() == m.col.size() &&
           std::equal(m.row_ptr.begin(), m.row_ptr.end(), s.pattern_rows.begin()) &&
           std::equal(m.col.begin(), m.col.end(), s.pattern_cols.begin());
}

// Factors m for a direct method: again on the kept analysis when the
// pattern and the locks are those of the last.
int prepare_factor(Context &ctx, const Method &method, const CsrMatrix &m) {
    Setup &s = ctx.setup;
    if (method.needs_symmetry && !is_symmetric(m)) {
        s.factor.reset();
        return BRISVEL_ERROR(QV_ERROR_NOT_SYMMETRIC);
    }
    s.factored = 0;
    int code = QV_OK;
    if (factor_fits_pattern(s, ctx, m)) {
        code = s.factor->refactor(m);
    } else {
        s.factor.reset();  // the old one goes before the new one comes
        BuiltFactorisation built = method.direct(m);
        code = built.code;
        s.factor = std::move(built.factor);
        if (code == QV_OK) {
            s.locked = ctx.locked;
            s.pattern_rows.assign(m.row_ptr.begin(), m.row_ptr.end());
            s.pattern_cols.assign(m.col.begin(), m.col.end());
        }
    }
    if (code != QV_OK) {
        s.factor.reset();
        return BRISVEL_ERROR(code);
    }
    s.factored = ctx.assembly;
    return QV_OK;
}

// Builds the preconditioner for m.
int prepare_preconditioner(Context &ctx, const CsrMatrix &m) {
    Setup &s = ctx.setup;
    const PreconditionerKind *kind = find_preconditioner(ctx.params.preconditioner);
    if (kind == nullptr)
        return BRISVEL_ERROR(QV_ERROR_INVALID_CODE);
    BuiltPreconditioner built = kind->make(m, ctx.params);
    if (built.code != QV_OK)
        return BRISVEL_ERROR(built.code);
    s.hierarchy = built.preconditioner->hierarchy();
    s.preconditioner = std::move(built.preconditioner);
    return QV_OK;
}

// Makes what the method needs of m beyond the reduction, unless the setup
// holds it for these settings: the factorisation or the preconditioner. What
// another method or other settings left goes first. seconds is the time it
// took, 0 when all was kept.
int prepare_method(Context &ctx, const Method &method, const CsrMatrix &m, double &seconds_taken) {
    Setup &s = ctx.setup;
    if (!same_setup_settings(s.params, ctx.params)) {
        s.preconditioner.reset();
        s.hierarchy = HierarchyShape{};
        s.factor.reset();
        s.least_squares.reset();
        s.params = ctx.params;
    }
    seconds_taken = 0.0;
    const bool direct = method.kind == MethodKind::Direct;
    if (direct ? s.factor != nullptr && s.factored == ctx.assembly : s.preconditioner != nullptr)
        return QV_OK;  // all kept
    const double start = seconds();
    int code = QV_OK;
    if (direct) {
        code = prepare_factor(ctx, method, m);
    } else {
        if (method.needs_symmetry && !is_symmetric(m))
            return BRISVEL_ERROR(QV_ERROR_NOT_SYMMETRIC);
        code = prepare_preconditioner(ctx, m);
    }
    seconds_taken = seconds() - start;
    return code;
}

// Solves the square systems, sharing one setup: a direct method solves with
// its factorisation for all of them at once, an iterative one runs for each.
void solve_square(Context &ctx, const Method &method, Results &out) {
    Setup &s = ctx.setup;
    const std::size_t systems = ctx.values.size();
    auto fail_all = [&](int code) {
        for (SystemResult &r : out.systems)
            if (r.code == pending)
                r.code = code;
    };
    if (const int code = prepare_reduction(ctx))
        return fail_all(code);
    const CsrMatrix &m = s.matrix(ctx.matrix);
    const Unknowns unknowns{s, s.any_locked ? s.reduced.unknowns.size() : ctx.values[0].size()};
    const std::size_t n = unknowns.count;
    if (n == 0 || m.rows == 0 || static_cast<std::size_t>(m.rows) != n)
        return fail_all(BRISVEL_ERROR(QV_ERROR_DIMENSION));
    // Each system's right-hand side over the unknowns, refused when the
    // locked variables' terms overflowed it.
    s.rhs.resize(systems);
    bool any_going = false;
    for (std::size_t k = 0; k < systems; ++k) {
        if (s.any_locked)
            reduced_rhs(s.reduced, ctx.rhs[k], ctx.values[k], s.rhs[k]);
        const Vector &b = s.any_locked ? s.rhs[k] : ctx.rhs[k];
        if (!all_finite(b.size(), b.data()))
            out.systems[k].code = BRISVEL_ERROR(QV_ERROR_NOT_FINITE);
        any_going = any_going || out.systems[k].code == pending;
    }
    if (!any_going)
        return;
    if (method.available != nullptr && !method.available())
        return fail_all(BRISVEL_ERROR(QV_ERROR_EXTENSION_UNAVAILABLE));
    if (const int code = prepare_method(ctx, method, m, out.setup_seconds))
        return fail_all(code);
    out.amg_levels = s.hierarchy.levels;
    out.amg_complexity = s.hierarchy.complexity;
    out.factor_fill = s.hierarchy.fill;
    auto rhs_of = [&](std::size_t k) -> const Vector & {
        return s.any_locked ? s.rhs[k] : ctx.rhs[k];
    };
    if (method.kind == MethodKind::Direct) {
        // All the systems still going in one solve with the factorisation.
        std::vector<std::size_t> going;
        for (std::size_t k = 0; k < systems; ++k)
            if (out.systems[k].code == pending)
                going.push_back(k);
        s.block.resize(2 * n * going.size());
        double *b = s.block.data(), *x = b + n * going.size();
        for (std::size_t g = 0; g < going.size(); ++g)
            std::copy(rhs_of(going[g]).begin(), rhs_of(going[g]).end(), b + g * n);
        const int code = s.factor->solve(b, x, going.size());
        for (std::size_t g = 0; g < going.size(); ++g) {
            const std::size_t k = going[g];
            SolveResult result{code, 0, 0.0};
            s.x.assign(x + g * n, x + (g + 1) * n);
            if (code != QV_OK)  // nothing was solved: the guess stays
                unknowns.guess(ctx.values[k], s.x);
            const GivenSystem given{ctx.matrix, ctx.locked, ctx.rhs[k]};
            judge(ctx, given, unknowns, false, s.x, ctx.values[k], s.answer, result);
            out.systems[k] = SystemResult{result.code, result.iterations, result.residual};
        }
        return;
    }
    for (std::size_t k = 0; k < systems; ++k) {
        if (out.systems[k].code != pending)
            continue;
        unknowns.guess(ctx.values[k], s.x);
        // The Krylov methods' dot products square the residual's entries:
        // past about 1e154 they overflow, below 1e-154 they underflow, and
        // the method breaks down on a system that is merely scaled. A
        // right-hand side far from unit scale is solved as A y = 2^-f b,
        // y = 2^-f x from the guess and x = 2^f y after.
        const int f = far_exponent(rhs_of(k).size(), rhs_of(k).data());
        Vector scaled_b;
        if (f != 0) {
            scaled_b = rhs_of(k);
            scale_by_power_of_two(scaled_b, -f);
            scale_by_power_of_two(s.x, -f);
        }
        SolveResult result = method.iterative(m, *s.preconditioner, f != 0 ? scaled_b : rhs_of(k),
                                              s.x, control_of(ctx, n));
        if (f != 0)
            scale_by_power_of_two(s.x, f);
        const GivenSystem given{ctx.matrix, ctx.locked, ctx.rhs[k]};
        judge(ctx, given, unknowns, false, s.x, ctx.values[k], s.answer, result);
        out.systems[k] = SystemResult{result.code, result.iterations, result.residual};
    }
}

// Solves each least-squares system in turn, its setup made for it.
void solve_each_least_squares(Context &ctx, const Method &method, Results &out) {
    if (const int code = prepare_reduction(ctx)) {
        for (SystemResult &r : out.systems)
            r.code = code;
        return;
    }
    Setup &s = ctx.setup;
    if (s.bounds_assembly != ctx.assembly) {
        s.bounds = matrix_bounds(ctx.matrix);
        s.bounds_assembly = ctx.assembly;
    }
    const CsrMatrix &a = s.matrix(ctx.matrix);
    for (std::size_t k = 0; k < ctx.values.size(); ++k) {
        SystemResult &r = out.systems[k];
        if (a.cols == 0 || a.rows == 0) {
            r.code = BRISVEL_ERROR(QV_ERROR_DIMENSION);
            continue;
        }
        Vector reduced_b;
        if (s.any_locked)
            reduced_rhs(s.reduced, ctx.rhs[k], ctx.values[k], reduced_b);
        const Vector &b = s.any_locked ? reduced_b : ctx.rhs[k];
        if (!all_finite(b.size(), b.data())) {
            r.code = BRISVEL_ERROR(QV_ERROR_NOT_FINITE);  // locked terms overflowed
            continue;
        }
        const GivenSystem given{ctx.matrix, ctx.locked, ctx.rhs[k]};
        Vector answer;
        const SolveResult result =
            solve_least_squares(ctx, method, given, b, ctx.values[k], answer);
        r = SystemResult{result.code, result.iterations, result.residual};
        out.setup_seconds += result.setup_seconds;
        out.amg_levels = result.hierarchy.levels;
        out.amg_complexity = result.hierarchy.complexity;
        out.factor_fill = result.hierarchy.fill;
    }
}

}  // namespace

bool same_setup_settings(const Parameters &a, const Parameters &b) {
    return a.method == b.method && a.preconditioner == b.preconditioner &&
           a.least_squares == b.least_squares && a.ssor_omega == b.ssor_omega &&
           a.amg_strength == b.amg_strength && a.amg_sweeps == b.amg_sweeps &&
           a.amg_coarsest == b.amg_coarsest && a.amg_pairs == b.amg_pairs &&
           a.ilut_drop == b.ilut_drop && a.ilut_fill == b.ilut_fill &&
           a.ilut_pivot == b.ilut_pivot && a.ilut_scaling == b.ilut_scaling &&
           a.threads == b.threads;
}

Results solve_system(Context &ctx) {
    const TeamReservation team(ctx.params.threads);  // this solve's own team
    Results out;
    out.systems.assign(ctx.values.size(), SystemResult{pending, 0, 0.0});
    try {
        const Method *method = find_method(ctx.params.method, ctx.params.least_squares);
        if (method == nullptr) {
            for (SystemResult &r : out.systems)
                r.code = BRISVEL_ERROR(QV_ERROR_INVALID_CODE);
        } else if (ctx.params.least_squares) {
            solve_each_least_squares(ctx, *method, out);
        } else {
            solve_square(ctx, *method, out);
        }
    } catch (const std::bad_alloc &) {
        ctx.setup = Setup();  // a setup half made is no setup
        for (SystemResult &r : out.systems)
            if (r.code == pending)
                r.code = BRISVEL_ERROR(QV_ERROR_OUT_OF_MEMORY);
    }
    return out;
}

}  // namespace brisvel
