// A context's parameters and results, by code: one table row each.
#include "solve/settings.h"

#include "context/assembly.h"
#include "error.h"
#include "kernels/parallel.h"
#include "precond/preconditioner.h"
#include "solve/methods.h"

namespace brisvel {
namespace {

// An integer parameter: where it is kept, and which values it takes.
struct IntSetting {
    int code;
    std::int32_t Parameters::*field;
    bool (*valid)(std::int32_t value, const Parameters &p);
};

// A floating-point parameter, likewise: valid values lie between low and
// high, each end included only where it says so.
struct DoubleSetting {
    int code;
    double Parameters::*field;
    double low, high;
    bool low_included = false, high_included = false;

    bool valid(double v) const {
        return (v > low || (low_included && v == low)) &&
               (v < high || (high_included && v == high));
    }
};

bool any_method(std::int32_t v, const Parameters &p) {
    return find_method(v, p.least_squares) != nullptr;
}
bool any_preconditioner(std::int32_t v, const Parameters &) {
    return find_preconditioner(v) != nullptr;
}
bool not_negative(std::int32_t v, const Parameters &) { return v >= 0; }
bool restart_length(std::int32_t v, const Parameters &) { return v >= 1 && v <= 1000; }
bool thread_count(std::int32_t v, const Parameters &) { return v >= 0 && v <= QV_MAX_THREADS; }
bool smoothing_degree(std::int32_t v, const Parameters &) { return v >= 1 && v <= 10; }
bool coarsest_size(std::int32_t v, const Parameters &) { return v >= 1 && v <= 4000; }
bool zero_or_one(std::int32_t v, const Parameters &) { return v == 0 || v == 1; }
bool ilut_scaling(std::int32_t v, const Parameters &) {
    return v == QV_ILUT_MATCHING || v == QV_ILUT_EQUILIBRATE || v == QV_ILUT_NO_SCALING;
}

// The variable count, the least-squares mode and the system count change the
// system too, and the selected system's range depends on the count: they
// are set apart below.
const IntSetting int_settings[] = {
    {QV_PARAM_SOLVER, &Parameters::method, any_method},
    {QV_PARAM_PRECONDITIONER, &Parameters::preconditioner, any_preconditioner},
    {QV_PARAM_MAX_ITERATIONS, &Parameters::max_iterations, not_negative},
    {QV_PARAM_GMRES_RESTART, &Parameters::gmres_restart, restart_length},
    {QV_PARAM_THREADS, &Parameters::threads, thread_count},
    {QV_PARAM_AMG_SWEEPS, &Parameters::amg_sweeps, smoothing_degree},
    {QV_PARAM_AMG_COARSEST, &Parameters::amg_coarsest, coarsest_size},
    {QV_PARAM_AMG_PAIRS, &Parameters::amg_pairs, zero_or_one},
    {QV_PARAM_ILUT_SCALING, &Parameters::ilut_scaling, ilut_scaling},
};

const DoubleSetting double_settings[] = {
    {QV_PARAM_THRESHOLD, &Parameters::threshold, 0.0, 1.0},
    {QV_PARAM_SSOR_OMEGA, &Parameters::ssor_omega, 0.0, 2.0},
    {QV_PARAM_AMG_STRENGTH, &Parameters::amg_strength, 0.0, 1.0},
    {QV_PARAM_ILUT_DROP, &Parameters::ilut_drop, 0.0, 1.0, true, false},
    {QV_PARAM_ILUT_FILL, &Parameters::ilut_fill, 0.0, 1000.0, false, true},
    {QV_PARAM_ILUT_PIVOT, &Parameters::ilut_pivot, 0.0, 1.0, true, true},
};

template <class Setting, std::size_t N> const Setting *find(const Setting (&table)[N], int code) {
    for (const Setting &setting : table)
        if (setting.code == code)
            return &setting;
    return nullptr;
}

// The last solve's result for the selected system; zeros before a solve.
SystemResult selected_result(const Context &ctx) {
    const auto k = static_cast<std::size_t>(ctx.params.system);
    return k < ctx.results.systems.size() ? ctx.results.systems[k] : SystemResult{};
}

}  // namespace

int set_parameter(Context &ctx, int code, std::int32_t value) {
    Parameters &p = ctx.params;
    if (code == QV_PARAM_VARIABLE_COUNT)
        return set_variable_count(ctx, value);
    if (code == QV_PARAM_LEAST_SQUARES) {
        if (value != 0 && value != 1)
            return BRISVEL_ERROR(QV_ERROR_INVALID_VALUE);
        p.least_squares = value == 1;
        discard_system(ctx);
        return QV_OK;
    }
    if (code == QV_PARAM_SYSTEMS)
        return set_system_count(ctx, value);
    if (code == QV_PARAM_SYSTEM) {
        if (value < 0 || value >= p.system_count)
            return BRISVEL_ERROR(QV_ERROR_INVALID_VALUE);
        p.system = value;
        return QV_OK;
    }
    const IntSetting *setting = find(int_settings, code);
    if (setting == nullptr)
        return BRISVEL_ERROR(QV_ERROR_INVALID_CODE);
    if (!setting->valid(value, p))
        return BRISVEL_ERROR(QV_ERROR_INVALID_VALUE);
    p.*setting->field = value;
    if (code == QV_PARAM_THREADS && value == 0)
        p.threads = default_threads();  // 0 asks for the default
    return QV_OK;
}

int set_parameter(Context &ctx, int code, double value) {
    const DoubleSetting *setting = find(double_settings, code);
    if (setting == nullptr)
        return BRISVEL_ERROR(QV_ERROR_INVALID_CODE);
    if (!setting->valid(value))
        return BRISVEL_ERROR(QV_ERROR_INVALID_VALUE);
    ctx.params.*setting->field = value;
    return QV_OK;
}

int get_parameter(const Context &ctx, int code, std::int32_t &value) {
    const Parameters &p = ctx.params;
    if (const IntSetting *setting = find(int_settings, code))
        value = p.*setting->field;
    else if (code == QV_PARAM_VARIABLE_COUNT)
        value = p.variable_count;
    else if (code == QV_PARAM_LEAST_SQUARES)
        value = p.least_squares ? 1 : 0;
    else if (code == QV_PARAM_SYSTEMS)
        value = p.system_count;
    else if (code == QV_PARAM_SYSTEM)
        value = p.system;
    else if (code == QV_USED_ITERATIONS)
        value = selected_result(ctx).iterations;
    else if (code == QV_SYSTEM_ERROR)
        value = selected_result(ctx).code;
    else if (code == QV_AMG_LEVELS)
        value = ctx.results.amg_levels;
    else
        return BRISVEL_ERROR(QV_ERROR_INVALID_CODE);
    return QV_OK;
}

int get_parameter(const Context &ctx, int code, double &value) {
    if (const DoubleSetting *setting = find(double_settings, code))
        value = ctx.params.*setting->field;
    else if (code == QV_RESIDUAL)
        value = selected_result(ctx).residual;
    else if (code == QV_SETUP_SECONDS)
        value = ctx.results.setup_seconds;
    else if (code == QV_AMG_COMPLEXITY)
        value = ctx.results.amg_complexity;
    else if (code == QV_FACTOR_FILL)
        value = ctx.results.factor_fill;
    else
        return BRISVEL_ERROR(QV_ERROR_INVALID_CODE);
    return QV_OK;
}

}  // namespace brisvel
