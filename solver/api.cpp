// The public interface: each function finds the current context, checks its
// arguments and hands the work to the module that does it. Every body runs
// inside guarded(), so that no exception ever leaves the library.
#include "context/assembly.h"
#include "context/context.h"
#include "direct/direct.h"
#include "error.h"
#include "kernels/vector_ops.h"
#include "solve/settings.h"
#include "solve/solve.h"

#include <brisvel/brisvel.h>

#include <algorithm>
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

// The context a call reads: the calling thread's current one, held for the
// call. Records QV_ERROR_NO_CONTEXT when there is none, QV_ERROR_BUSY when
// another thread is inside a call on it.
Held require_context() {
    Held held;
    report(hold_current(held));
    return held;
}

// Records QV_ERROR_BUSY when a solve of ctx is running, as it is when a
// progress callback calls in: the context may then be read, not changed.
bool check_not_solving(const Context &ctx) { return !ctx.solving || fail(QV_ERROR_BUSY); }

// The context a call changes: the current one, unless it is being solved.
Held require_writable_context() {
    Held held = require_context();
    if (held && !check_not_solving(*held))
        held.release();
    return held;
}

// The current context when it may change and no block is open, as settings
// require; records the error and answers an empty hold otherwise.
Held require_closed_context() {
    Held held = require_writable_context();
    if (held && held->block != Block::None) {
        fail(QV_ERROR_BLOCK_ORDER);
        held.release();
    }
    return held;
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

std::uintptr_t handle_of(QVcontext context) { return reinterpret_cast<std::uintptr_t>(context); }

QVcontext to_handle(std::uintptr_t handle) { return reinterpret_cast<QVcontext>(handle); }

// Records QV_ERROR_INVALID_INDEX unless index names a variable.
bool check_index(const Context &ctx, QVint index) {
    return (index >= 0 && index < ctx.params.variable_count) || fail(QV_ERROR_INVALID_INDEX);
}

// Records QV_ERROR_NOT_FINITE unless value is a finite number.
bool check_finite(double value) { return std::isfinite(value) || fail(QV_ERROR_NOT_FINITE); }

// Records QV_ERROR_NOT_FINITE unless all count values are finite numbers.
bool check_all_finite(QVint count, const double *values) {
    return all_finite(static_cast<std::size_t>(count), values) || fail(QV_ERROR_NOT_FINITE);
}

// Records QV_ERROR_INVALID_VALUE unless an array of count entries is the
// size wanted and not null.
bool check_array(QVint count, QVint wanted, const void *values) {
    return (count == wanted && values != nullptr) || fail(QV_ERROR_INVALID_VALUE);
}

// Records QV_ERROR_BLOCK_ORDER unless a system is closed and no block is open.
bool check_closed_system(const Context &ctx) {
    return (ctx.block == Block::None && ctx.system_ready) || fail(QV_ERROR_BLOCK_ORDER);
}

// Records QV_ERROR_INVALID_INDEX unless row names a row of the closed system.
bool check_row(const Context &ctx, QVint row) {
    return (row >= 0 && row < ctx.matrix.rows) || fail(QV_ERROR_INVALID_INDEX);
}

// Sets a parameter of either type: outside blocks, and not while solving.
template <class T> void write_parameter(QVint code, T value) {
    guarded([&] {
        if (Held ctx = require_closed_context())
            report(set_parameter(*ctx, code, value));
    });
}

// Reads a parameter or result of either type; 0 on an error.
template <class T> T read_parameter(QVint code) {
    return guarded<T>(T{}, [&] {
        const Held ctx = require_context();
        T value{};
        if (ctx)
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
        std::uintptr_t handle = 0;
        return report(create_context(handle)) ? to_handle(handle) : nullptr;
    });
}

QVcontext qvGetCurrent(void) { return to_handle(current_handle()); }

void qvMakeCurrent(QVcontext context) {
    guarded([&] { report(make_current(handle_of(context))); });
}

void qvDeleteContext(QVcontext context) {
    guarded([&] { report(delete_context(handle_of(context))); });
}

/* ---- Parameters ---- */

void qvSolverParameteri(QVint code, QVint value) { write_parameter(code, value); }

void qvSolverParameterd(QVint code, QVdouble value) { write_parameter(code, value); }

QVint qvGetParameteri(QVint code) { return read_parameter<QVint>(code); }

QVdouble qvGetParameterd(QVint code) { return read_parameter<QVdouble>(code); }

/* ---- Blocks and assembly ---- */

void qvBegin(QVint block) {
    guarded([&] {
        if (Held ctx = require_writable_context())
            report(begin_block(*ctx, block));
    });
}

void qvEnd(QVint block) {
    guarded([&] {
        if (Held ctx = require_writable_context())
            report(end_block(*ctx, block));
    });
}

void qvLockVariable(QVint index) {
    guarded([&] {
        Held ctx = require_writable_context();
        if (ctx && check_index(*ctx, index))
            report(lock_variable(*ctx, index));
    });
}

void qvSetVariable(QVint index, QVdouble value) {
    guarded([&] {
        Held ctx = require_writable_context();
        if (ctx && check_index(*ctx, index) && check_finite(value))
            ctx->selected_values()[static_cast<std::size_t>(index)] = value;
    });
}

void qvCoefficient(QVint index, QVdouble value) {
    guarded([&] {
        Held ctx = require_writable_context();
        if (ctx && check_index(*ctx, index) && check_finite(value))
            report(add_coefficient(*ctx, index, value));
    });
}

void qvCoefficients(QVint count, const QVint *indices, const QVdouble *values) {
    guarded([&] {
        if (Held ctx = require_writable_context())
            report(add_coefficients(*ctx, count, indices, values));
    });
}

void qvRightHandSide(QVdouble value) {
    guarded([&] {
        Held ctx = require_writable_context();
        if (!ctx)
            return;
        if (ctx->block != Block::Row)
            fail(QV_ERROR_BLOCK_ORDER);
        else if (check_finite(value))
            ctx->row_rhs[static_cast<std::size_t>(ctx->params.system)] = value;
    });
}

void qvRightHandSides(QVint count, const QVdouble *values) {
    guarded([&] {
        if (Held ctx = require_writable_context())
            report(set_row_rhs(*ctx, count, values));
    });
}

void qvCompressedRows(QVint rows, const int64_t *starts, const QVint *columns,
                      const QVdouble *values, const QVdouble *rhs) {
    guarded([&] {
        if (Held ctx = require_writable_context())
            report(set_compressed_rows(*ctx, rows, starts, columns, values, rhs));
    });
}

void qvSetRightHandSide(QVint row, QVdouble value) {
    guarded([&] {
        Held ctx = require_writable_context();
        if (ctx && check_closed_system(*ctx) && check_row(*ctx, row) && check_finite(value))
            ctx->selected_rhs()[static_cast<std::size_t>(row)] = value;
    });
}

void qvSetRightHandSides(QVint count, const QVdouble *values) {
    guarded([&] {
        Held ctx = require_writable_context();
        if (ctx && check_closed_system(*ctx) &&
            check_array(count, static_cast<QVint>(ctx->selected_rhs().size()), values) &&
            check_all_finite(count, values))
            std::copy(values, values + count, ctx->selected_rhs().begin());
    });
}

/* ---- Solve and results ---- */

QVbool qvSolve(void) {
    return guarded<QVbool>(0, [] {
        Held ctx = require_writable_context();
        if (!ctx)
            return false;
        if (ctx->block != Block::None || !ctx->system_ready)
            return fail(QV_ERROR_BLOCK_ORDER);
        SolvingMark mark(*ctx);
        ctx->results = solve_system(*ctx);
        for (const SystemResult &system : ctx->results.systems)
            if (system.code != QV_OK)
                return report(system.code);
        return true;
    });
}

QVdouble qvGetVariable(QVint index) {
    return guarded<QVdouble>(0.0, [&] {
        const Held ctx = require_context();
        if (!ctx || !check_index(*ctx, index))
            return 0.0;
        return ctx->selected_values()[static_cast<std::size_t>(index)];
    });
}

void qvGetVariables(QVint count, QVdouble *values) {
    guarded([&] {
        const Held ctx = require_context();
        if (ctx && check_array(count, ctx->params.variable_count, values))
            std::copy(ctx->selected_values().begin(), ctx->selected_values().end(), values);
    });
}

void qvSetVariables(QVint count, const QVdouble *values) {
    guarded([&] {
        Held ctx = require_writable_context();
        if (ctx && check_array(count, ctx->params.variable_count, values) &&
            check_all_finite(count, values))
            std::copy(values, values + count, ctx->selected_values().begin());
    });
}

void qvSetProgressCallback(QVprogress callback, void *user) {
    guarded([&] {
        if (Held ctx = require_closed_context()) {
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
