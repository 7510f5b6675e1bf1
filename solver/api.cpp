// The public interface: each function finds the current context, checks its
// arguments and hands the work to the module that does it.
#include "context/assembly.h"
#include "context/context.h"
#include "direct/direct.h"
#include "error.h"
#include "kernels/parallel.h"
#include "solve/solve.h"

#include <brisvel/brisvel.h>

#include <cmath>

using namespace brisvel;

namespace {

// The current context; records QV_ERROR_NO_CONTEXT when there is none.
Context *current() {
    Context *ctx = current_context();
    if (ctx == nullptr)
        fail(QV_ERROR_NO_CONTEXT);
    return ctx;
}

// The current context when no block is open, as settings require; records
// the error and answers null otherwise.
Context *current_outside_blocks() {
    Context *ctx = current();
    if (ctx != nullptr && ctx->block != Block::None) {
        fail(QV_ERROR_BLOCK_ORDER);
        return nullptr;
    }
    return ctx;
}

QVcontext to_handle(const Context *ctx) {
    return ctx != nullptr ? reinterpret_cast<QVcontext>(ctx->handle) : nullptr;
}

// The live context a handle names; records QV_ERROR_INVALID_HANDLE when none.
Context *from_handle(QVcontext handle) {
    Context *ctx = find_context(reinterpret_cast<std::uintptr_t>(handle));
    if (ctx == nullptr)
        fail(QV_ERROR_INVALID_HANDLE);
    return ctx;
}

bool valid_index(const Context &ctx, QVint index) {
    return index >= 0 && index < ctx.params.variable_count;
}

bool is_method(QVint code) {
    return code == QV_METHOD_DEFAULT || code == QV_METHOD_BICGSTAB || code == QV_METHOD_GMRES ||
           code == QV_METHOD_CG || is_direct_method(code);
}

bool is_preconditioner(QVint code) {
    return code == QV_PRECONDITIONER_JACOBI || code == QV_PRECONDITIONER_SSOR ||
           code == QV_PRECONDITIONER_NONE;
}

}  // namespace

/* ---- Initialisation and contexts ---- */

QVbool qvInitialize(int argc, char **argv) {
    (void)argc;  // no option is recognised yet; unknown ones are ignored
    (void)argv;
    return 1;
}

QVcontext qvNewContext(void) {
    Context *ctx = create_context();
    if (ctx == nullptr) {
        fail(QV_ERROR_OUT_OF_MEMORY);
        return nullptr;
    }
    set_current_context(ctx);
    return to_handle(ctx);
}

QVcontext qvGetCurrent(void) { return to_handle(current_context()); }

void qvMakeCurrent(QVcontext context) {
    if (Context *ctx = from_handle(context))
        set_current_context(ctx);
}

void qvDeleteContext(QVcontext context) {
    if (Context *ctx = from_handle(context))
        destroy_context(ctx);
}

/* ---- Parameters ---- */

void qvSolverParameteri(QVint code, QVint value) {
    Context *ctx = current_outside_blocks();
    if (ctx == nullptr)
        return;
    Parameters &p = ctx->params;
    switch (code) {
    case QV_PARAM_VARIABLE_COUNT:
        report(set_variable_count(*ctx, value));
        return;
    case QV_PARAM_LEAST_SQUARES:
        if (value != 0 && value != 1) {
            fail(QV_ERROR_INVALID_VALUE);
            return;
        }
        p.least_squares = value == 1;
        discard_system(*ctx);
        return;
    case QV_PARAM_SOLVER:
        if (!is_method(value))
            fail(QV_ERROR_INVALID_VALUE);
        else
            p.method = value;
        return;
    case QV_PARAM_PRECONDITIONER:
        if (!is_preconditioner(value))
            fail(QV_ERROR_INVALID_VALUE);
        else
            p.preconditioner = value;
        return;
    case QV_PARAM_MAX_ITERATIONS:
        if (value < 0)
            fail(QV_ERROR_INVALID_VALUE);
        else
            p.max_iterations = value;
        return;
    case QV_PARAM_GMRES_RESTART:
        if (value < 1 || value > 1000)
            fail(QV_ERROR_INVALID_VALUE);
        else
            p.gmres_restart = value;
        return;
    case QV_PARAM_THREADS:
        if (value < 0 || value > QV_MAX_THREADS)
            fail(QV_ERROR_INVALID_VALUE);
        else
            p.threads = value == 0 ? hardware_threads() : value;
        return;
    default:
        fail(QV_ERROR_INVALID_CODE);
    }
}

void qvSolverParameterd(QVint code, QVdouble value) {
    Context *ctx = current_outside_blocks();
    if (ctx == nullptr)
        return;
    switch (code) {
    case QV_PARAM_THRESHOLD:
        if (!(value > 0.0 && value < 1.0))
            fail(QV_ERROR_INVALID_VALUE);
        else
            ctx->params.threshold = value;
        return;
    case QV_PARAM_SSOR_OMEGA:
        if (!(value > 0.0 && value < 2.0))
            fail(QV_ERROR_INVALID_VALUE);
        else
            ctx->params.ssor_omega = value;
        return;
    default:
        fail(QV_ERROR_INVALID_CODE);
    }
}

QVint qvGetParameteri(QVint code) {
    const Context *ctx = current();
    if (ctx == nullptr)
        return 0;
    const Parameters &p = ctx->params;
    switch (code) {
    case QV_PARAM_SOLVER:
        return p.method;
    case QV_PARAM_VARIABLE_COUNT:
        return p.variable_count;
    case QV_PARAM_LEAST_SQUARES:
        return p.least_squares ? 1 : 0;
    case QV_PARAM_PRECONDITIONER:
        return p.preconditioner;
    case QV_PARAM_MAX_ITERATIONS:
        return p.max_iterations;
    case QV_PARAM_GMRES_RESTART:
        return p.gmres_restart;
    case QV_PARAM_THREADS:
        return p.threads;
    case QV_USED_ITERATIONS:
        return ctx->results.iterations;
    default:
        fail(QV_ERROR_INVALID_CODE);
        return 0;
    }
}

QVdouble qvGetParameterd(QVint code) {
    const Context *ctx = current();
    if (ctx == nullptr)
        return 0.0;
    switch (code) {
    case QV_PARAM_THRESHOLD:
        return ctx->params.threshold;
    case QV_PARAM_SSOR_OMEGA:
        return ctx->params.ssor_omega;
    case QV_RESIDUAL:
        return ctx->results.residual;
    default:
        fail(QV_ERROR_INVALID_CODE);
        return 0.0;
    }
}

/* ---- Blocks and assembly ---- */

void qvBegin(QVint block) {
    Context *ctx = current();
    if (ctx != nullptr)
        report(begin_block(*ctx, block));
}

void qvEnd(QVint block) {
    Context *ctx = current();
    if (ctx != nullptr)
        report(end_block(*ctx, block));
}

void qvLockVariable(QVint index) {
    Context *ctx = current();
    if (ctx == nullptr)
        return;
    if (!valid_index(*ctx, index)) {
        fail(QV_ERROR_INVALID_INDEX);
        return;
    }
    report(lock_variable(*ctx, index));
}

void qvSetVariable(QVint index, QVdouble value) {
    Context *ctx = current();
    if (ctx == nullptr)
        return;
    if (!valid_index(*ctx, index)) {
        fail(QV_ERROR_INVALID_INDEX);
        return;
    }
    if (!std::isfinite(value)) {
        fail(QV_ERROR_NOT_FINITE);
        return;
    }
    ctx->values[static_cast<std::size_t>(index)] = value;
}

void qvCoefficient(QVint index, QVdouble value) {
    Context *ctx = current();
    if (ctx == nullptr)
        return;
    if (!valid_index(*ctx, index)) {
        fail(QV_ERROR_INVALID_INDEX);
        return;
    }
    if (!std::isfinite(value)) {
        fail(QV_ERROR_NOT_FINITE);
        return;
    }
    report(add_coefficient(*ctx, index, value));
}

void qvCoefficients(QVint count, const QVint *indices, const QVdouble *values) {
    Context *ctx = current();
    if (ctx != nullptr)
        report(add_coefficients(*ctx, count, indices, values));
}

void qvRightHandSide(QVdouble value) {
    Context *ctx = current();
    if (ctx == nullptr)
        return;
    if (ctx->block != Block::Row) {
        fail(QV_ERROR_BLOCK_ORDER);
        return;
    }
    if (!std::isfinite(value)) {
        fail(QV_ERROR_NOT_FINITE);
        return;
    }
    ctx->row_rhs = value;
}

/* ---- Solve and results ---- */

QVbool qvSolve(void) {
    Context *ctx = current();
    if (ctx == nullptr)
        return 0;
    if (ctx->block != Block::None || !ctx->system_ready)
        return fail(QV_ERROR_BLOCK_ORDER);
    return report(solve_system(*ctx));
}

void qvSetProgressCallback(QVprogress callback, void *user) {
    Context *ctx = current_outside_blocks();
    if (ctx == nullptr)
        return;
    ctx->progress = callback;
    ctx->progress_data = callback != nullptr ? user : nullptr;
}

QVdouble qvGetVariable(QVint index) {
    const Context *ctx = current();
    if (ctx == nullptr)
        return 0.0;
    if (!valid_index(*ctx, index)) {
        fail(QV_ERROR_INVALID_INDEX);
        return 0.0;
    }
    return ctx->values[static_cast<std::size_t>(index)];
}

/* ---- Errors ---- */

QVint qvGetError(void) { return take_error(); }

const char *qvErrorString(QVint code) { return error_text(code); }

/* ---- Extensions ---- */

QVbool qvInitExtension(const char *name) { return report(init_extension(name)); }
