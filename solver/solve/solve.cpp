// Solving a context's system: elimination of locked variables, least squares
// through the normal equations, the chosen method, and an honest verdict.
#include "solve/solve.h"

#include "error.h"
#include "kernels/parallel.h"
#include "kernels/vector_ops.h"
#include "precond/preconditioner.h"
#include "solve/methods.h"

#include <algorithm>
#include <cmath>
#include <new>

namespace brisvel {
namespace {

// The problem's own relative residual: ||b - Ax|| / ||b||, or for least
// squares ||A'(b - Ax)|| / ||A'b||, given at = A' and atb = A'b. Zero when the
// denominator is zero and x = 0.
double problem_residual(const CsrMatrix &a, const Vector &b, const Vector &x, bool least_squares,
                        const CsrMatrix &at, const Vector &atb) {
    Vector r(b.size());
    const double bound = residual(a, b.data(), x.data(), r.data());  // r = b - A x
    if (!least_squares) {
        const double norm_b = norm2(b.size(), b.data());
        const double norm_r = std::fmax(norm2(r.size(), r.data()), bound);
        return norm_b > 0.0 ? norm_r / norm_b : norm_r;
    }
    Vector g(x.size());
    spmv(at, r.data(), g.data());  // g = A' r
    const double norm_c = norm2(atb.size(), atb.data());
    return norm_c > 0.0 ? norm2(g.size(), g.data()) / norm_c : norm2(g.size(), g.data());
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

SolveResult solve_checked(Context &ctx) {
    const Parameters &p = ctx.params;
    const Method *method = find_method(p.method, p.least_squares);
    if (method == nullptr)
        return SolveResult{BRISVEL_ERROR(QV_ERROR_INVALID_CODE), 0, 0.0};
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

    CsrMatrix at, normal;
    Vector normal_rhs;
    if (p.least_squares) {
        at = transpose(a);              // row j of A' lists the rows of A that use column j
        normal = normal_matrix(a, at);  // minimise ||b - Ax|| through A'A x = A'b
        normal_rhs.resize(n);
        spmv(at, b.data(), normal_rhs.data());
    }
    const CsrMatrix &m = p.least_squares ? normal : a;
    const Vector &rhs = p.least_squares ? normal_rhs : b;
    Vector x(n);
    for (std::size_t k = 0; k < n; ++k)
        x[k] = ctx.values[variable(k)];  // the variables are the initial guess

    SolveResult result = run_method(*method, ctx, m, rhs, x);
    if (!all_finite(n, x.data())) {  // never write NaN or infinity
        result.residual = 0.0;
        if (result.code == QV_OK)
            result.code = BRISVEL_ERROR(QV_ERROR_BREAKDOWN);
        return result;
    }
    result.residual = problem_residual(a, b, x, p.least_squares, at, normal_rhs);
    for (std::size_t k = 0; k < n; ++k)
        ctx.values[variable(k)] = x[k];
    if (result.code == QV_OK && !meets_threshold(result.residual, p.threshold))
        result.code = QV_ERROR_NOT_CONVERGED;
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
