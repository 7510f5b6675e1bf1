// libFuzzer target: turns bytes into sequences of interface calls, and traps
// when a solve claims success it did not reach or leaves NaN in a variable.
#include <brisvel/brisvel.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// Reads the fuzz input a byte or a number at a time; zeros once it runs out.
struct Input {
    const std::uint8_t *data;
    std::size_t size;
    std::size_t pos = 0;

    bool done() const { return pos >= size; }
    std::uint8_t byte() { return pos < size ? data[pos++] : 0; }
    QVint small_int() { return static_cast<QVint>(byte() % 24) - 2; }  // -2 .. 21
    double number() {
        const std::uint8_t kind = byte();
        switch (kind % 8) {
        case 0:
            return 0.0;
        case 1: {  // any bit pattern, NaN and infinities included
            double v = 0.0;
            std::uint8_t raw[sizeof v] = {};
            for (std::uint8_t &b : raw)
                b = byte();
            std::memcpy(&v, raw, sizeof v);
            return v;
        }
        case 2:
            return 1e300;
        default:  // modest values, the common case
            return (static_cast<int>(byte()) - 128) / 16.0;
        }
    }
};

const QVint parameter_codes[] = {QV_PARAM_SOLVER,         QV_PARAM_VARIABLE_COUNT,
                                 QV_PARAM_LEAST_SQUARES,  QV_PARAM_PRECONDITIONER,
                                 QV_PARAM_MAX_ITERATIONS, QV_PARAM_GMRES_RESTART,
                                 QV_USED_ITERATIONS,      0x1ff};
const QVint method_codes[] = {
    QV_METHOD_DEFAULT, QV_METHOD_BICGSTAB,         QV_METHOD_GMRES,   QV_METHOD_CG,
    QV_METHOD_SUPERLU, QV_METHOD_SUPERLU_PERMUTED, QV_METHOD_CHOLMOD, 0x2ff};
const char *const extension_names[] = {"SUPERLU", "CHOLMOD", "", "superlu", nullptr};

QVint parameter_value(Input &in, QVint code) {
    const std::uint8_t pick = in.byte();
    if (code == QV_PARAM_SOLVER)
        return method_codes[pick % 8];
    if (code == QV_PARAM_PRECONDITIONER)
        return QV_PRECONDITIONER_JACOBI + pick % 4 - (pick & 0x80 ? 0x300 : 0);
    if (pick == 0xff && code != QV_PARAM_MAX_ITERATIONS)
        return 0x7fffffff;  // absurd, must be refused (a huge iteration limit is merely slow)
    return in.small_int() * (pick & 0x40 ? 5 : 1);
}

void check_solve() {
    const QVbool solved = qvSolve();
    const QVint count = qvGetParameteri(QV_PARAM_VARIABLE_COUNT);
    for (QVint i = 0; i < count; ++i)
        if (!std::isfinite(qvGetVariable(i)))
            __builtin_trap();  // NaN or infinity reached a variable
    if (solved && !(qvGetParameterd(QV_RESIDUAL) <= qvGetParameterd(QV_PARAM_THRESHOLD)))
        __builtin_trap();  // success claimed above the threshold
    qvGetError();
}

// A whole small system in one go: random size, pattern and values.
void assemble_system(Input &in) {
    const QVint n = 1 + in.byte() % 8;
    qvSolverParameteri(QV_PARAM_VARIABLE_COUNT, n);
    qvBegin(QV_BLOCK_SYSTEM);
    qvBegin(QV_BLOCK_MATRIX);
    const QVint rows = n + (in.byte() % 3 == 0 ? in.byte() % 3 : 0);
    for (QVint r = 0; r < rows && !in.done(); ++r) {
        qvBegin(QV_BLOCK_ROW);
        for (std::uint8_t mask = in.byte(), c = 0; c < 8; ++c)
            if (mask & (1u << c))
                qvCoefficient(c % n, in.number());
        qvRightHandSide(in.number());
        qvEnd(QV_BLOCK_ROW);
    }
    qvEnd(QV_BLOCK_MATRIX);
    qvEnd(QV_BLOCK_SYSTEM);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    Input in{data, size};
    std::vector<QVcontext> handles;
    while (!in.done()) {
        switch (in.byte() % 18) {
        case 0:
            handles.push_back(qvNewContext());
            break;
        case 1:
            qvDeleteContext(handles.empty() ? nullptr : handles[in.byte() % handles.size()]);
            break;
        case 2:
            if (!handles.empty())
                qvMakeCurrent(handles[in.byte() % handles.size()]);
            break;
        case 3: {
            const QVint code = parameter_codes[in.byte() % 8];
            qvSolverParameteri(code, parameter_value(in, code));
            break;
        }
        case 4:
            qvSolverParameterd(in.byte() & 1 ? QV_PARAM_THRESHOLD : QV_PARAM_SSOR_OMEGA,
                               in.number());
            break;
        case 5:
            qvBegin(in.small_int() % 4);
            break;
        case 6:
            qvEnd(in.small_int() % 4);
            break;
        case 7:
            qvLockVariable(in.small_int());
            break;
        case 8:
            qvSetVariable(in.small_int(), in.number());
            break;
        case 9:
            qvCoefficient(in.small_int(), in.number());
            break;
        case 10:
            qvRightHandSide(in.number());
            break;
        case 11:
        case 12:
            check_solve();
            break;
        case 13:
            qvGetVariable(in.small_int());
            qvGetParameteri(parameter_codes[in.byte() % 8]);
            qvGetParameterd(QV_RESIDUAL);
            break;
        case 14:
            qvInitExtension(extension_names[in.byte() % 5]);
            break;
        case 15:
            qvErrorString(qvGetError());
            break;
        default:
            assemble_system(in);
            break;
        }
    }
    for (QVcontext handle : handles)
        qvDeleteContext(handle);  // stale ones are refused, live ones freed
    qvGetError();
    return 0;
}
