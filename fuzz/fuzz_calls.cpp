// libFuzzer target: turns bytes into sequences of interface calls, callbacks
// that call back in among them, and traps when a solve claims success that an
// independent check of its answer refutes, or leaves NaN in a variable.
#include <brisvel/brisvel.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <map>
#include <set>
#include <utility>
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
        switch (kind % 10) {
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
        case 2:  // near the top of the range: overflows when repeated or multiplied
            return (kind & 0x80 ? -1e308 : 1e308) * (1.0 + byte() / 512.0);
        case 3:  // near the bottom of the range
            return (kind & 0x80 ? -1e-300 : 1e-300) * (1.0 + byte());
        case 4:  // anywhere from 2^-1000 to 2^1000
            return std::ldexp(1.0 + byte() / 256.0, static_cast<int>(byte() % 250) * 8 - 1000);
        default:  // modest values, the common case
            return (static_cast<int>(byte()) - 128) / 16.0;
        }
    }
};

const QVint parameter_codes[] = {QV_PARAM_SOLVER,
                                 QV_PARAM_VARIABLE_COUNT,
                                 QV_PARAM_LEAST_SQUARES,
                                 QV_PARAM_PRECONDITIONER,
                                 QV_PARAM_MAX_ITERATIONS,
                                 QV_PARAM_GMRES_RESTART,
                                 QV_PARAM_AMG_SWEEPS,
                                 QV_PARAM_AMG_COARSEST,
                                 QV_PARAM_ILUT_SCALING,
                                 QV_PARAM_AMG_PAIRS,
                                 QV_USED_ITERATIONS,
                                 QV_AMG_LEVELS,
                                 0x1ff};
constexpr std::size_t parameter_count = sizeof parameter_codes / sizeof parameter_codes[0];
const QVint double_codes[] = {QV_PARAM_THRESHOLD, QV_PARAM_SSOR_OMEGA, QV_PARAM_AMG_STRENGTH,
                              QV_PARAM_ILUT_DROP, QV_PARAM_ILUT_FILL,  QV_PARAM_ILUT_PIVOT};
const QVint method_codes[] = {
    QV_METHOD_DEFAULT, QV_METHOD_BICGSTAB,         QV_METHOD_GMRES,   QV_METHOD_CG,
    QV_METHOD_SUPERLU, QV_METHOD_SUPERLU_PERMUTED, QV_METHOD_CHOLMOD, 0x2ff};
const char *const extension_names[] = {"SUPERLU", "CHOLMOD", "", "superlu", nullptr};

QVint parameter_value(Input &in, QVint code) {
    const std::uint8_t pick = in.byte();
    if (code == QV_PARAM_SOLVER)
        return method_codes[pick % 8];
    if (code == QV_PARAM_PRECONDITIONER)
        return QV_PRECONDITIONER_JACOBI + pick % 7 - (pick & 0x80 ? 0x300 : 0);
    if (pick == 0xff && code != QV_PARAM_MAX_ITERATIONS)
        return 0x7fffffff;  // absurd, must be refused (a huge iteration limit is merely slow)
    return in.small_int() * (pick & 0x40 ? 5 : 1);
}

// A system as the fuzzer gave it, kept apart from the library to check its
// answers: rows of (column, value) with repeats, locks and their values.
struct Known {
    QVint n = 0;
    bool least_squares = false;
    std::vector<std::vector<std::pair<QVint, double>>> rows;
    std::vector<double> rhs;
    std::vector<std::pair<QVint, double>> locked;
    int scale = 0;  // a diffusion's coefficients and right-hand side are scaled by 2^scale
};

// The systems assembled in one go, by context; a context leaves this map as
// soon as a call might have changed its system.
std::map<QVcontext, Known> known;

void forget_current() { known.erase(qvGetCurrent()); }

// What the check of an answer found: the relative residual of x in long
// double, and a bound on that residual's own rounding (relative too).
struct Check {
    long double residual, bound;
};

// The relative residual of x for a known system, in long double, as the
// library defines it over the unknowns, the locked variables' terms moved to
// the right-hand side c: ||b - Ax|| / ||c||, or in least squares
// ||A'(b - Ax)|| / ||A'c|| over the unlocked columns; with a bound on its
// rounding, u times the magnitudes of the sums (for A'r, |A'| times each
// r_i's bound as well).
Check independent_residual(const Known &k, const std::vector<double> &x) {
    const std::size_t n = static_cast<std::size_t>(k.n);
    std::vector<bool> is_locked(n, false);
    for (const auto &lock : k.locked)
        is_locked[static_cast<std::size_t>(lock.first)] = true;
    const long double u = std::numeric_limits<long double>::epsilon();  // twice the roundoff
    std::vector<long double> atr(n, 0.0L), atc(n, 0.0L), atr_bound(n, 0.0L);
    long double rr = 0.0L, cc = 0.0L, bb = 0.0L;
    for (std::size_t i = 0; i < k.rows.size(); ++i) {
        // A row's repeated columns are one coefficient, their sum, as the
        // library defines it: added first, in double precision and in the
        // order given, as the library adds them, so that huge repeats that
        // cancel do not drown the rest of the row in this check's own
        // rounding, and the coefficient is the library's to the bit.
        std::map<QVint, double> merged;
        for (const auto &[col, value] : k.rows[i])
            merged[col] += value;
        long double r = k.rhs[i], c = k.rhs[i];
        long double magnitude = std::fabs(r);
        for (const auto &[col, value] : merged) {
            const long double term =
                static_cast<long double>(value) * x[static_cast<std::size_t>(col)];
            r -= term;
            magnitude += std::fabs(term);
            if (is_locked[static_cast<std::size_t>(col)])
                c -= term;
        }
        const long double r_bound = static_cast<long double>(merged.size() + 1) * u * magnitude;
        rr += r * r;
        cc += c * c;
        bb += r_bound * r_bound;
        for (const auto &[col, value] : merged) {
            const auto j = static_cast<std::size_t>(col);
            const long double a_ij = value;
            atr[j] += a_ij * r;
            atc[j] += a_ij * c;
            atr_bound[j] +=
                std::fabs(a_ij) * r_bound + u * (std::fabs(a_ij * r) + std::fabs(atr[j]));
        }
    }
    if (k.least_squares) {
        rr = cc = bb = 0.0L;
        for (std::size_t j = 0; j < n; ++j) {
            if (!is_locked[j]) {
                rr += atr[j] * atr[j];
                cc += atc[j] * atc[j];
                bb += atr_bound[j] * atr_bound[j];
            }
        }
    }
    const long double norm_c = cc > 0.0L ? std::sqrt(cc) : 1.0L;
    return Check{std::sqrt(rr) / norm_c, std::sqrt(bb) / norm_c};
}

// The iteration limit of a solve of k: the one set, or the default,
// max(1000, 2 * unknowns).
int iteration_limit(const Known &k) {
    const QVint set = qvGetParameteri(QV_PARAM_MAX_ITERATIONS);
    std::set<QVint> locked;
    for (const auto &lock : k.locked)
        locked.insert(lock.first);
    const int unknowns = k.n - static_cast<int>(locked.size());
    return set > 0 ? set : std::max(1000, 2 * unknowns);
}

// True for the codes with which a solve ends when its method stopped early:
// none of them may stand when the answer meets the threshold.
bool stopped_early(QVint code) {
    return code == QV_ERROR_NOT_CONVERGED || code == QV_ERROR_STAGNATED ||
           code == QV_ERROR_BREAKDOWN || code == QV_ERROR_INTERRUPTED;
}

// Whether the variables' values as a guess leave a residual no larger than
// about the right-hand side: max_i |(A x)_i| <= 4 max_i |b_i|, in long double.
bool ordinary_guess(const Known &k) {
    long double largest = 0.0L, b_max = 0.0L;
    for (std::size_t i = 0; i < k.rows.size(); ++i) {
        long double sum = 0.0L;
        for (const auto &[col, value] : k.rows[i])
            sum += static_cast<long double>(value) * qvGetVariable(col);
        largest = std::max(largest, std::fabs(sum));
        b_max = std::max(b_max, std::fabs(static_cast<long double>(k.rhs[i])));
    }
    qvGetError();
    return largest <= 4.0L * b_max;
}

void check_solve() {
    const QVcontext ctx = qvGetCurrent();
    qvGetError();  // (an earlier call's error would stand until read)
    const auto was = known.find(ctx);
    const bool ordinary = was != known.end() && ordinary_guess(was->second);
    const QVbool solved = qvSolve();
    const QVint refusal = qvGetError();
    if (qvGetCurrent() != ctx)  // a callback made another context current
        qvMakeCurrent(ctx);
    if (refusal == QV_ERROR_BLOCK_ORDER || refusal == QV_ERROR_NO_CONTEXT) {
        if (solved)
            __builtin_trap();  // a refused solve claimed success
        qvGetError();
        return;  // no solve ran: the results are the last one's
    }
    const QVint error = qvGetParameteri(QV_SYSTEM_ERROR);  // the checked system's own code
    const QVint count = qvGetParameteri(QV_PARAM_VARIABLE_COUNT);
    std::vector<double> x(static_cast<std::size_t>(count > 0 ? count : 0));
    for (QVint i = 0; i < count; ++i)
        if (!std::isfinite(x[static_cast<std::size_t>(i)] = qvGetVariable(i)))
            __builtin_trap();  // NaN or infinity reached a variable
    const double threshold = qvGetParameterd(QV_PARAM_THRESHOLD);
    // A solve succeeds when all its systems do; with one system, exactly then.
    if ((solved && error != QV_OK) ||
        (!solved && error == QV_OK && qvGetParameteri(QV_PARAM_SYSTEMS) == 1))
        __builtin_trap();  // the solve's verdict is not its systems'
    if (error == QV_OK && !(qvGetParameterd(QV_RESIDUAL) <= threshold))
        __builtin_trap();  // success claimed above the threshold
    const auto it = known.find(ctx);
    if (it != known.end() && it->second.n == count) {
        const Check check = independent_residual(it->second, x);
        // A success must meet the threshold by a residual computed here,
        // with a margin for the rounding of the library's own.
        if (error == QV_OK && !(check.residual <= 1.01L * threshold + 1e-15L))
            __builtin_trap();  // success claimed for a wrong answer
        // A method that stopped early with an answer that meets the
        // threshold by far more than either check's rounding has succeeded.
        if (stopped_early(error) && check.residual + check.bound <= 0.5L * threshold)
            __builtin_trap();  // failure reported for a right answer
        // CG with Jacobi on a diffusion (symmetric positive definite, its
        // preconditioner too) has nothing to break down on, at any scale,
        // from a guess no worse than zero.
        const Known &k = it->second;
        if (error == QV_ERROR_BREAKDOWN && ordinary && k.scale != 0 && k.locked.empty() &&
            !k.least_squares && qvGetParameteri(QV_PARAM_SOLVER) == QV_METHOD_CG &&
            qvGetParameteri(QV_PARAM_PRECONDITIONER) == QV_PRECONDITIONER_JACOBI)
            __builtin_trap();  // a scaled system broke what its unscaled twin solves
        // The iteration limit is reported only once it is reached.
        if (error == QV_ERROR_NOT_CONVERGED &&
            qvGetParameteri(QV_USED_ITERATIONS) < iteration_limit(it->second))
            __builtin_trap();  // a false reason for a failure
    }
    qvGetError();
}

// Gives k's rows in one qvCompressedRows call; the selected system's
// right-hand sides are k's, the others' 0.
void give_compressed(const Known &k) {
    std::vector<std::int64_t> starts{0};
    std::vector<QVint> columns;
    std::vector<double> values;
    for (const auto &row : k.rows) {
        for (const auto &[col, value] : row) {
            columns.push_back(col);
            values.push_back(value);
        }
        starts.push_back(static_cast<std::int64_t>(columns.size()));
    }
    const auto rows = k.rows.size();
    const auto systems = static_cast<std::size_t>(std::max(1, qvGetParameteri(QV_PARAM_SYSTEMS)));
    const auto selected = static_cast<std::size_t>(std::max(0, qvGetParameteri(QV_PARAM_SYSTEM)));
    std::vector<double> rhs(rows * systems, 0.0);
    std::copy(k.rhs.begin(), k.rhs.end(),
              rhs.begin() + static_cast<std::ptrdiff_t>(selected * rows));
    qvCompressedRows(static_cast<QVint>(rows), starts.data(), columns.data(), values.data(),
                     rhs.data());
}

// Solving again: a right-hand side, a locked variable's value or one
// coefficient (the system sent again, same pattern) of the known system
// changes, and the knowledge with it when the call is taken.
void change_known(Input &in) {
    const auto it = known.find(qvGetCurrent());
    if (it == known.end() || it->second.rows.empty())
        return;
    Known &k = it->second;
    qvGetError();
    const std::uint8_t what = in.byte() % 3;
    const auto row = static_cast<std::size_t>(in.byte()) % k.rows.size();
    const double value = in.number();
    if (what == 0) {
        qvSetRightHandSide(static_cast<QVint>(row), value);
        if (qvGetError() == QV_OK)
            k.rhs[row] = value;
    } else if (what == 1 && !k.locked.empty()) {
        auto &lock = k.locked[static_cast<std::size_t>(in.byte()) % k.locked.size()];
        qvSetVariable(lock.first, value);
        if (qvGetError() == QV_OK)
            for (auto &same : k.locked)  // a variable locked twice holds one value
                if (same.first == lock.first)
                    same.second = value;
    } else if (what == 2 && !k.rows[row].empty()) {
        k.rows[row][static_cast<std::size_t>(in.byte()) % k.rows[row].size()].second = value;
        k.scale = 0;  // no longer the scaled diffusion it was
        qvBegin(QV_BLOCK_SYSTEM);
        for (const auto &lock : k.locked)
            qvLockVariable(lock.first);  // at the values they hold
        give_compressed(k);
        qvEnd(QV_BLOCK_SYSTEM);
        if (qvGetError() != QV_OK)
            forget_current();
    }
}

// A whole system in one go: random size, pattern and values, locks with
// values of any size, and sometimes long rows given back to front with
// repeated columns. Remembered when every call was accepted.
void assemble_system(Input &in) {
    const std::uint8_t shape = in.byte() % 8;
    const bool long_rows = shape == 0, diffusion = shape == 1;
    Known k;
    k.n = long_rows ? 8 + in.byte() % 120 : diffusion ? 4 + in.byte() % 28 : 1 + in.byte() % 8;
    k.least_squares = in.byte() % 3 == 0;
    qvSolverParameteri(QV_PARAM_VARIABLE_COUNT, k.n);
    qvSolverParameteri(QV_PARAM_LEAST_SQUARES, k.least_squares ? 1 : 0);
    qvGetError();
    qvBegin(QV_BLOCK_SYSTEM);
    for (std::uint8_t locks = in.byte() % 4, l = 0; l < locks && l + 1 < k.n; ++l) {
        const QVint index = static_cast<QVint>(in.byte()) % k.n;
        const double value = in.number();
        qvLockVariable(index);
        qvSetVariable(index, value);
        k.locked.emplace_back(index, value);
    }
    std::vector<double> cell;             // a diffusion's coefficients, one a cell
    if (diffusion && in.byte() % 2 == 0)  // scaled as a whole, up to about 1e+-270
        k.scale = (static_cast<int>(in.byte() % 7) - 3) * 300;
    for (QVint c = 0; diffusion && c < k.n; ++c)
        cell.push_back(std::pow(10.0, in.byte() % 9));
    const bool whole = in.byte() % 3 == 0;  // the rows in one qvCompressedRows call
    if (!whole)
        qvBegin(QV_BLOCK_MATRIX);
    const QVint extra = in.byte() % 3 == 0 ? in.byte() % 3 : 0;
    const QVint rows = k.n - static_cast<QVint>(k.locked.size()) + extra;
    for (QVint r = 0; r < rows && !in.done(); ++r) {
        if (!whole)
            qvBegin(QV_BLOCK_ROW);
        k.rows.emplace_back();
        auto add = [&](QVint col, double value) {
            if (!whole)
                qvCoefficient(col, value);
            k.rows.back().emplace_back(col, value);
        };
        if (diffusion) {
            // -(k u')' = 1 along a chain of cells whose k jumps by up to 1e8,
            // faces weighted by the harmonic mean: where rounding sets a
            // floor under the residual near the threshold.
            const QVint i = r % k.n;
            const double own = cell[static_cast<std::size_t>(i)];
            double diagonal = 0.0;
            for (QVint j : {i - 1, i + 1}) {
                const double other = j >= 0 && j < k.n ? cell[static_cast<std::size_t>(j)] : own;
                const double face = 2.0 * own * other / (own + other);
                diagonal += face;
                if (j >= 0 && j < k.n)
                    add(j, -std::ldexp(face, k.scale));
            }
            add(i, std::ldexp(diagonal, k.scale));
        } else if (long_rows) {
            const QVint first = in.byte() % k.n;
            for (QVint c = k.n - 1; c >= first; --c)
                add(c, in.number());  // back to front
            add(first, in.number());  // and once more
        } else {
            for (std::uint8_t mask = in.byte(), c = 0; c < 8; ++c)
                if (mask & (1u << c))
                    add(c % k.n, in.number());
        }
        k.rhs.push_back(diffusion ? std::ldexp(1.0, k.scale) : in.number());
        if (!whole) {
            qvRightHandSide(k.rhs.back());
            qvEnd(QV_BLOCK_ROW);
        }
    }
    if (whole)
        give_compressed(k);
    else
        qvEnd(QV_BLOCK_MATRIX);
    qvEnd(QV_BLOCK_SYSTEM);
    // Sometimes a huge initial guess that the first row nearly annihilates,
    // x_p = a_q S and x_q = -a_p S: its terms cancel, and the residual
    // computed in double precision may be nothing but rounding.
    if (in.byte() % 4 == 0 && !k.rows.empty() && k.rows[0].size() >= 2 &&
        k.rows[0][0].first != k.rows[0][1].first) {
        const auto [p, a_p] = k.rows[0][0];
        const auto [q, a_q] = k.rows[0][1];
        const auto is_locked = [&](QVint j) {
            for (const auto &lock : k.locked)
                if (lock.first == j)
                    return true;
            return false;
        };
        const double scale = std::ldexp(1.0, in.byte() % 64);
        if (!is_locked(p) && !is_locked(q)) {  // (a locked one's value is known apart)
            qvSetVariable(p, a_q * scale);
            qvSetVariable(q, -a_p * scale);
        }
    }
    // A locked variable's own rows count, but it keeps its value.
    if (qvGetError() == QV_OK)
        known[qvGetCurrent()] = k;
    else
        forget_current();
}

// What a progress callback does: calls back in, as the input says.
struct Reentry {
    std::vector<std::uint8_t> script;
    std::size_t next = 0;
    int depth = 0;
    std::vector<QVcontext> made;  // contexts it created, deleted at the end
};
Reentry reentry;

QVbool call_back_in(QVint, QVdouble, void *user) {
    auto *r = static_cast<Reentry *>(user);
    if (r->next >= r->script.size() || r->depth > 0)
        return 0;
    ++r->depth;
    const std::uint8_t action = r->script[r->next++];
    QVbool stop = 0;
    switch (action % 12) {
    case 0:
        qvDeleteContext(qvGetCurrent());  // refused while it is solved
        break;
    case 1:
        qvBegin(QV_BLOCK_SYSTEM);
        break;
    case 2:
        qvSolverParameteri(QV_PARAM_VARIABLE_COUNT, 1);
        break;
    case 3:
        qvSolverParameteri(QV_PARAM_LEAST_SQUARES, action & 1);
        break;
    case 4:
        qvSetVariable(0, 1e300);
        break;
    case 5:
        qvSolve();  // on the same context: refused
        break;
    case 6: {  // a whole other solve, then back
        const QVcontext outer = qvGetCurrent();
        qvNewContext();
        qvSolverParameteri(QV_PARAM_VARIABLE_COUNT, 1);
        qvBegin(QV_BLOCK_SYSTEM);
        qvBegin(QV_BLOCK_MATRIX);
        qvBegin(QV_BLOCK_ROW);
        qvCoefficient(0, 2.0);
        qvRightHandSide(1.0);
        qvEnd(QV_BLOCK_ROW);
        qvEnd(QV_BLOCK_MATRIX);
        qvEnd(QV_BLOCK_SYSTEM);
        qvSolve();
        qvDeleteContext(qvGetCurrent());
        qvMakeCurrent(outer);
        break;
    }
    case 7:
        r->made.push_back(qvNewContext());  // left current: the solve goes on with its own
        break;
    case 8:
        qvSetProgressCallback(nullptr, nullptr);
        break;
    case 9:
        qvCoefficient(0, 1.0);
        qvEnd(QV_BLOCK_SYSTEM);
        break;
    case 10:
        qvGetVariable(0);
        qvGetParameterd(QV_RESIDUAL);
        break;
    default:
        stop = 1;  // stop the solve
        break;
    }
    qvGetError();
    --r->depth;
    return stop;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    Input in{data, size};
    std::vector<QVcontext> handles;
    known.clear();
    reentry = Reentry{};
    while (!in.done()) {
        const std::uint8_t op = in.byte() % 21;
        if (op >= 3 && op <= 10)
            forget_current();  // may change the system
        switch (op) {
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
            const QVint code = parameter_codes[in.byte() % parameter_count];
            qvSolverParameteri(code, parameter_value(in, code));
            break;
        }
        case 4:
            qvSolverParameterd(double_codes[in.byte() % std::size(double_codes)], in.number());
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
            qvGetParameteri(parameter_codes[in.byte() % parameter_count]);
            qvGetParameterd(QV_RESIDUAL);
            break;
        case 14:
            qvInitExtension(extension_names[in.byte() % 5]);
            break;
        case 15:
            qvErrorString(qvGetError());
            break;
        case 17:
            change_known(in);
            break;
        case 18: {  // all variables at once, of a count that may be wrong
            const QVint count = qvGetParameteri(QV_PARAM_VARIABLE_COUNT) + in.small_int() % 2;
            std::vector<double> values(static_cast<std::size_t>(std::max(count, 0)) + 1);
            qvGetVariables(count, values.data());
            if (in.byte() % 2 == 0) {
                forget_current();
                values[0] = in.number();
                qvSetVariables(count, values.data());
            }
            break;
        }
        case 16:  // a callback that calls back in, with a script of what it does
            for (std::uint8_t steps = in.byte() % 4, s = 0; s < steps; ++s)
                reentry.script.push_back(in.byte());
            qvSetProgressCallback(call_back_in, &reentry);
            break;
        default:
            assemble_system(in);
            break;
        }
    }
    for (QVcontext handle : handles)
        qvDeleteContext(handle);  // stale ones are refused, live ones freed
    for (QVcontext handle : reentry.made)
        qvDeleteContext(handle);
    qvGetError();
    return 0;
}
