// A context's parameters and results, by code.
#include "solve/settings.h"

#include "context/assembly.h"
#include "error.h"
#include "kernels/parallel.h"
#include "precond/preconditioner.h"
#include "solve/methods.h"

namespace brisvel {

int set_parameter(Context &ctx, int code, std::int32_t value) {
    Parameters &p = ctx.params;
    switch (code) {
    case QV_PARAM_VARIABLE_COUNT:
        return set_variable_count(ctx, value);
    case QV_PARAM_LEAST_SQUARES:
        if (value != 0 && value != 1)
            return BRISVEL_ERROR(QV_ERROR_INVALID_VALUE);
        p.least_squares = value == 1;
        discard_system(ctx);
        return QV_OK;
    case QV_PARAM_SOLVER:
        if (find_method(value, p.least_squares) == nullptr)
            return BRISVEL_ERROR(QV_ERROR_INVALID_VALUE);
        p.method = value;
        return QV_OK;
    case QV_PARAM_PRECONDITIONER:
        if (find_preconditioner(value) == nullptr)
            return BRISVEL_ERROR(QV_ERROR_INVALID_VALUE);
        p.preconditioner = value;
        return QV_OK;
    case QV_PARAM_MAX_ITERATIONS:
        if (value < 0)
            return BRISVEL_ERROR(QV_ERROR_INVALID_VALUE);
        p.max_iterations = value;
        return QV_OK;
    case QV_PARAM_GMRES_RESTART:
        if (value < 1 || value > 1000)
            return BRISVEL_ERROR(QV_ERROR_INVALID_VALUE);
        p.gmres_restart = value;
        return QV_OK;
    case QV_PARAM_THREADS:
        if (value < 0 || value > QV_MAX_THREADS)
            return BRISVEL_ERROR(QV_ERROR_INVALID_VALUE);
        p.threads = value == 0 ? hardware_threads() : value;
        return QV_OK;
    default:
        return BRISVEL_ERROR(QV_ERROR_INVALID_CODE);
    }
}

int set_parameter(Context &ctx, int code, double value) {
    switch (code) {
    case QV_PARAM_THRESHOLD:
        if (!(value > 0.0 && value < 1.0))
            return BRISVEL_ERROR(QV_ERROR_INVALID_VALUE);
        ctx.params.threshold = value;
        return QV_OK;
    case QV_PARAM_SSOR_OMEGA:
        if (!(value > 0.0 && value < 2.0))
            return BRISVEL_ERROR(QV_ERROR_INVALID_VALUE);
        ctx.params.ssor_omega = value;
        return QV_OK;
    default:
        return BRISVEL_ERROR(QV_ERROR_INVALID_CODE);
    }
}

int get_parameter(const Context &ctx, int code, std::int32_t &value) {
    const Parameters &p = ctx.params;
    switch (code) {
    case QV_PARAM_SOLVER:
        value = p.method;
        return QV_OK;
    case QV_PARAM_VARIABLE_COUNT:
        value = p.variable_count;
        return QV_OK;
    case QV_PARAM_LEAST_SQUARES:
        value = p.least_squares ? 1 : 0;
        return QV_OK;
    case QV_PARAM_PRECONDITIONER:
        value = p.preconditioner;
        return QV_OK;
    case QV_PARAM_MAX_ITERATIONS:
        value = p.max_iterations;
        return QV_OK;
    case QV_PARAM_GMRES_RESTART:
        value = p.gmres_restart;
        return QV_OK;
    case QV_PARAM_THREADS:
        value = p.threads;
        return QV_OK;
    case QV_USED_ITERATIONS:
        value = ctx.results.iterations;
        return QV_OK;
    default:
        return BRISVEL_ERROR(QV_ERROR_INVALID_CODE);
    }
}

int get_parameter(const Context &ctx, int code, double &value) {
    switch (code) {
    case QV_PARAM_THRESHOLD:
        value = ctx.params.threshold;
        return QV_OK;
    case QV_PARAM_SSOR_OMEGA:
        value = ctx.params.ssor_omega;
        return QV_OK;
    case QV_RESIDUAL:
        value = ctx.results.residual;
        return QV_OK;
    default:
        return BRISVEL_ERROR(QV_ERROR_INVALID_CODE);
    }
}

}  // namespace brisvel
