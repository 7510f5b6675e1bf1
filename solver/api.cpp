// The public interface: each function finds the current context, checks its
// arguments and hands the work to the module that does it. Every body runs
// inside guarded(), so that no exception ever leaves the library.
#include "context/assembly.h"
#include "context/context.h"
#include "direct/direct.h"
#include "error.h"
#include "solve/settings.h"
#include "solve/solve.h"

#include <brisvel/brisvel.h>

#include <cmath>
#include <new>

using namespace brisvel;

namespace {

// Runs the body of a qv function and answers what it answers. An exception
// becomes an error code instead of leaving the library: QV_ERROR_OUT_OF_MEMORY
// when memory ran out, QV_ERROR_INTERNAL otherwise; the function then
// answers fallback.
template <class R, class Body> R guarded(R fallback, Body body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        fail(QV_ERROR_OUT_OF_MEMORY);
    } catch (...) {
        fail(QV_ERROR_INTERNAL);
    }
    return fallback;
}

template <class Body> void guarded(Body body) noexcept {
    guarded(0, [&] {
        body();
        return 0;
    });
}

// The context a call reads: the current one. Records QV_ERROR_NO_CONTEXT
// when there is none.
Context *require_context() {
    Context *ctx = current_context();
    if (ctx == nullptr)
        fail(QV_ERROR_NO_CONTEXT);
    return ctx;
}

// Records QV_ERROR_BUSY when a solve of ctx is running, as it is when a
// progress callback calls in: the context may then be read, not changed.
bool check_not_solving(const Context &ctx) { return !ctx.solving || fail(QV_ERROR_BUSY); }

// The context a call changes: the current one, unless it is being solved.
Context *require_writable_context() {
    Context *ctx = require_context();
    return ctx != nullptr && check_not_solving(*ctx) ? ctx : nullptr;
}

// The current context when it may change and no block is open, as settings
// require; records the error and answers null otherwise.
Context *require_closed_context() {
    Context *ctx = require_writable_context();
    if (ctx != nullptr && ctx->block != Block::None) {
        fail(QV_ERROR_BLOCK_ORDER);
        return nullptr;
    }
    return ctx;
}

// Marks a context as being solved for as long as it lives.
class SolvingMark {
  public:
    explicit SolvingMark(Context &ctx) : ctx_(ctx) { ctx_.solving = true; }
    ~SolvingMark() { ctx_.solving = false; }
    SolvingMark(const SolvingMark &) = delete;
    SolvingMark &operator=(const SolvingMark &) = delete;

  private:
    Context &ctx_;
};

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

// Records QV_ERROR_INVALID_INDEX unless index names a variable.
bool check_index(const Context &ctx, QVint index) {
    return (index >= 0 && index < ctx.params.variable_count) || fail(QV_ERROR_INVALID_INDEX);
}

// Records QV_ERROR_NOT_FINITE unless value is a finite number.
bool check_finite(double value) { return std::isfinite(value) || fail(QV_ERROR_NOT_FINITE); }

// Sets a parameter of either type: outside blocks, and not while solving.
template <class T> void write_parameter(QVint code, T value) {
    guarded([&] {
        if (Context *ctx = require_closed_context())
            report(set_parameter(*ctx, code, value));
    });
}

// Reads a parameter or result of either type; 0 on an error.
template <class T> T read_parameter(QVint code) {
    return guarded<T>(T{}, [&] {
        const Context *ctx = require_context();
        T value{};
        if (ctx != nullptr)
            report(get_parameter(*ctx, code, value));
        return value;
    });
}

}  // namespace

/* ---- Initialisation and contexts ---- */

QVbool qvInitialize(int argc, char **argv) {
    (void)argc;  // no option is recognised yet; unknown ones are ignored
    (void)argv;
    return 1;
}

QVcontext qvNewContext(void) {
    return guarded<QVcontext>(nullptr, [] {
        Context *ctx = create_context();
        if (ctx == nullptr) {
            fail(QV_ERROR_OUT_OF_MEMORY);
            return QVcontext{nullptr};
        }
        set_current_context(ctx);
        return to_handle(ctx);
    });
}

QVcontext qvGetCurrent(void) { return to_handle(current_context()); }

void qvMakeCurrent(QVcontext context) {
    guarded([&] {
        if (Context *ctx = from_handle(context))
            set_current_context(ctx);
    });
}

void qvDeleteContext(QVcontext context) {
    guarded([&] {
        Context *ctx = from_handle(context);
        if (ctx != nullptr && check_not_solving(*ctx))
            destroy_context(ctx);
    });
}

/* ---- Parameters ---- */

void qvSolverParameteri(QVint code, QVint value) { write_parameter(code, value); }

void qvSolverParameterd(QVint code, QVdouble value) { write_parameter(code, value); }

QVint qvGetParameteri(QVint code) { return read_parameter<QVint>(code); }

QVdouble qvGetParameterd(QVint code) { return read_parameter<QVdouble>(code); }

/* ---- Blocks and assembly ---- */

void qvBegin(QVint block) {
    guarded([&] {
        if (Context *ctx = require_writable_context())
            report(begin_block(*ctx, block));
    });
}

void qvEnd(QVint block) {
    guarded([&] {
        if (Context *ctx = require_writable_context())
            report(end_block(*ctx, block));
    });
}

void qvLockVariable(QVint index) {
    guarded([&] {
        Context *ctx = require_writable_context();
        if (ctx != nullptr && check_index(*ctx, index))
            report(lock_variable(*ctx, index));
    });
}

void qvSetVariable(QVint index, QVdouble value) {
    guarded([&] {
        Context *ctx = require_writable_context();
        if (ctx != nullptr && check_index(*ctx, index) && check_finite(value))
            ctx->values[static_cast<std::size_t>(index)] = value;
    });
}

void qvCoefficient(QVint index, QVdouble value) {
    guarded([&] {
        Context *ctx = require_writable_context();
        if (ctx != nullptr && check_index(*ctx, index) && check_finite(value))
            report(add_coefficient(*ctx, index, value));
    });
}

void qvCoefficients(QVint count, const QVint *indices, const QVdouble *values) {
    guarded([&] {
        if (Context *ctx = require_writable_context())
            report(add_coefficients(*ctx, count, indices, values));
    });
}

void qvRightHandSide(QVdouble value) {
    guarded([&] {
        Context *ctx = require_writable_context();
        if (ctx == nullptr)
            return;
        if (ctx->block != Block::Row)
            fail(QV_ERROR_BLOCK_ORDER);
        else if (check_finite(value))
            ctx->row_rhs = value;
    });
}

/* ---- Solve and results ---- */

QVbool qvSolve(void) {
    return guarded<QVbool>(0, [] {
        Context *ctx = require_writable_context();
        if (ctx == nullptr)
            return false;
        if (ctx->block != Block::None || !ctx->system_ready)
            return fail(QV_ERROR_BLOCK_ORDER);
        SolvingMark mark(*ctx);
        const SolveResult result = solve_system(*ctx);
        ctx->results = Results{result.iterations, result.residual};
        return report(result.code);
    });
}

QVdouble qvGetVariable(QVint index) {
    return guarded<QVdouble>(0.0, [&] {
        const Context *ctx = require_context();
        if (ctx == nullptr || !check_index(*ctx, index))
            return 0.0;
        return ctx->values[static_cast<std::size_t>(index)];
    });
}

void qvSetProgressCallback(QVprogress callback, void *user) {
    guarded([&] {
        if (Context *ctx = require_closed_context()) {
            ctx->progress = callback;
            ctx->progress_data = callback != nullptr ? user : nullptr;
        }
    });
}

/* ---- Errors ---- */

QVint qvGetError(void) { return take_error(); }

const char *qvErrorString(QVint code) { return error_text(code); }

/* ---- Extensions ---- */

QVbool qvInitExtension(const char *name) {
    return guarded<QVbool>(0, [&] { return report(init_extension(name)); });
}
