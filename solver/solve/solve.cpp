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

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

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
    CsrMatrix scaled;       // A~, when it is not A
    bool copied = false;    // A~ is scaled rather than *original
    Vector b;               // b~
    Vector atb;             // A~' b~
    std::vector<int> lift;  // c_j: 0 unless column j was lifted
    bool any_lift = false;
    int shift = 0;          // f - e
    double norm_atb = 0.0;  // ||C A~' b~||, the measure's denominator

    const CsrMatrix &a() const { return copied ? scaled : *original; }
    double to_variable(double y, std::size_t j) const { return std::ldexp(y, shift + lift[j]); }
    double from_variable(double x, std::size_t j) const { return std::ldexp(x, -shift - lift[j]); }
    // The problem as the least-squares methods see it, with the verdict's
    // measure ||C A~'(b~ - A~ y)|| / ||C A~' b~||: that of the original
    // problem, the lifted columns scaled back, the common powers of two
    // cancelling.
    NormalSystem system() const {
        return NormalSystem{a(), b, any_lift ? lift.data() : nullptr, norm_atb};
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
    std::vector<double> column_max(cols, 0.0);
    double largest = 0.0;
    for (std::size_t k = 0; k < a.val.size(); ++k) {
        const std::size_t j = static_cast<std::size_t>(a.col[k]);
        column_max[j] = std::fmax(column_max[j], std::fabs(a.val[k]));
        largest = std::fmax(largest, column_max[j]);
    }
    double b_max = 0.0;
    for (double v : b)
        b_max = std::fmax(b_max, std::fabs(v));
    int e = exponent_of(largest);
    const int f = exponent_of(b_max);
    s.lift.assign(cols, 0);
    for (std::size_t j = 0; j < cols; ++j) {
        const int below = e - exponent_of(column_max[j]);
        if (column_max[j] > 0.0 && below > lift_threshold) {
            s.lift[j] = below;  // multiply column j by 2^below
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
            s.scaled.val[k] =
                std::ldexp(s.scaled.val[k], s.lift[static_cast<std::size_t>(s.scaled.col[k])] - e);
    }
    s.b = b;
    for (double &v : s.b)
        v = std::ldexp(v, -f);
    s.atb.resize(cols);
    transposed_product(s.a(), s.b.data(), s.atb.data());  // A~' b~
    Vector c(cols);
    for (std::size_t j = 0; j < cols; ++j)
        c[j] = std::ldexp(s.atb[j], s.lift[j]);  // C A~' b~
    s.norm_atb = norm2(cols, c.data());
    return s;
}

// ||r|| / ||b|| for r = b - A x, never below the rounding error of r; ||r||
// when b = 0.
double square_residual(const CsrMatrix &a, const Vector &b, const Vector &x) {
    Vector r(b.size());
    const double bound = residual(a, b.data(), x.data(), r.data());  // r = b - A x
    const double norm_b = norm2(b.size(), b.data());
    const double norm_r = max_or_nan(norm2(r.size(), r.data()), bound);
    return norm_b > 0.0 ? norm_r / norm_b : norm_r;
}

// ||A'(b - Ax)|| / ||A'b|| of the original problem, from the scaled one and
// its solution y.
double normal_residual(const ScaledLeastSquares &s, const Vector &y) {
    Vector r(s.b.size()), g(y.size());
    return s.system().measure(y.data(), r.data(), g.data());
}

SolveControl control_of(const Context &ctx, std::size_t unknowns) {
    const Parameters &p = ctx.params;
    SolveControl control;
    const int n = static_cast<int>(unknowns);
    control.max_iterations = p.max_iterations > 0 ? p.max_iterations : std::max(1000, 2 * n);
    control.threshold = p.threshold;
    control.restart = p.gmres_restart;
    control.progress = ctx.progress;
    control.progress_data = ctx.progress_data;
    return control;
}

// Solves m x = rhs with the method the table gives.
SolveResult run_method(const Method &method, const Context &ctx, const CsrMatrix &m,
                       const Vector &rhs, Vector &x) {
    if (method.available != nullptr && !method.available())
        return SolveResult{BRISVEL_ERROR(QV_ERROR_EXTENSION_UNAVAILABLE), 0, 0.0};
    if (method.needs_symmetry && !is_symmetric(m))
        return SolveResult{BRISVEL_ERROR(QV_ERROR_NOT_SYMMETRIC), 0, 0.0};
    if (method.kind == MethodKind::Direct)
        return method.direct(m, rhs, x);
    const PreconditionerKind *kind = find_preconditioner(ctx.params.preconditioner);
    if (kind == nullptr)
        return SolveResult{BRISVEL_ERROR(QV_ERROR_INVALID_CODE), 0, 0.0};
    const auto pre = kind->make(m, ctx.params);
    return method.iterative(m, *pre, rhs, x, control_of(ctx, x.size()));
}

// Solves the least-squares problem s with a method that never forms A'A.
SolveResult run_normal_method(const Method &method, const Context &ctx, const ScaledLeastSquares &s,
                              Vector &x) {
    const PreconditionerKind *kind = find_preconditioner(ctx.params.preconditioner);
    if (kind == nullptr)
        return SolveResult{BRISVEL_ERROR(QV_ERROR_INVALID_CODE), 0, 0.0};
    const auto pre = kind->make_normal(s.a(), ctx.params);
    return method.normal(s.system(), *pre, x, control_of(ctx, x.size()));
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
    if (p.least_squares) {
        ls = scale_least_squares(a, b);
        if (method->kind != MethodKind::Normal || normal_matrix_pays(ls.a()))
            normal =
                normal_matrix(ls.a(), transpose(ls.a()));  // minimise ||b - Ax|| by A'A x = A'b
    }
    const CsrMatrix &m = p.least_squares ? normal : a;
    const Vector &rhs = p.least_squares ? ls.atb : b;
    auto verdict = [&](const Vector &y) {
        return p.least_squares ? normal_residual(ls, y) : square_residual(a, b, y);
    };
    Vector x(n);
    for (std::size_t k = 0; k < n; ++k) {  // the variables are the initial guess
        const double value = ctx.values[variable(k)];
        x[k] = p.least_squares ? ls.from_variable(value, k) : value;
    }
    const Vector x0 = x;

    const bool matrix_free = method->kind == MethodKind::Normal && normal.rows == 0;
    SolveResult result =
        matrix_free ? run_normal_method(*method, ctx, ls, x) : run_method(*method, ctx, m, rhs, x);
    const bool x_finite = all_finite(n, x.data());
    double x_residual = x_finite ? verdict(x) : std::numeric_limits<double>::quiet_NaN();
    if (result.code == QV_OK && !meets_threshold(x_residual, p.threshold))
        result.code = x_finite ? QV_ERROR_NOT_CONVERGED : BRISVEL_ERROR(QV_ERROR_BREAKDOWN);
    if (result.code != QV_OK) {  // keep the better of the last iterate and the initial guess
        const double x0_residual = verdict(x0);
        if (!(x_residual <= x0_residual)) {  // a NaN residual never wins
            x = x0;
            x_residual = x0_residual;
        }
    }
    result.residual = x_residual;
    Vector values(n);
    for (std::size_t k = 0; k < n; ++k)
        values[k] = p.least_squares ? ls.to_variable(x[k], k) : x[k];
    if (!all_finite(n, values.data()))  // the answer is out of range: never write it
        return SolveResult{BRISVEL_ERROR(QV_ERROR_BREAKDOWN), result.iterations, verdict(x0)};
    for (std::size_t k = 0; k < n; ++k)
        ctx.values[variable(k)] = values[k];
    return result;
}

}  // namespace

SolveResult solve_system(Context &ctx) {
    set_kernel_threads(ctx.params.threads);
    try {
        return solve_checked(ctx);
    } catch (const std::bad_alloc &) {
        return SolveResult{BRISVEL_ERROR(QV_ERROR_OUT_OF_MEMORY), 0, 0.0};
    }
}

}  // namespace brisvel
