// brisvel-solve: solves a Matrix Market system with brisvel, checks the answer
// by its true residual, writes it as Matrix Market and reports on the run.
#include "input.h"
#include "options.h"
#include "report.h"

#include <brisvel/brisvel.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <vector>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

volatile std::sig_atomic_t interrupted = 0;

extern "C" void on_interrupt(int) { interrupted = 1; }

bool stderr_is_terminal() {
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(fileno(stderr)) != 0;
#endif
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The live progress line, redrawn at most ten times a second.
struct ProgressLine {
    bool draw = false;
    bool drawn = false;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    double last = -1.0;
};

// Called after every iteration; stops the solve after Ctrl-C.
QVbool on_iteration(QVint iteration, QVdouble residual, void *user) {
    ProgressLine &line = *static_cast<ProgressLine *>(user);
    if (line.draw) {
        const double t = seconds_since(line.start);
        if (t - line.last >= 0.1) {
            std::fprintf(stderr, "\r  iteration %d, residual %.3e, %.1f s   ", iteration, residual,
                         t);
            std::fflush(stderr);
            line.last = t;
            line.drawn = true;
        }
    }
    return interrupted != 0 ? 1 : 0;
}

// The matrix in compressed rows, made from its entries.
struct Rows {
    std::vector<std::int64_t> start;
    std::vector<QVint> col;
    std::vector<double> val;
};

Rows compress(const mm::Matrix &a) {
    Rows r;
    r.start.assign(static_cast<std::size_t>(a.rows) + 1, 0);
    for (const std::int32_t i : a.row)
        ++r.start[static_cast<std::size_t>(i) + 1];
    for (std::size_t i = 0; i < static_cast<std::size_t>(a.rows); ++i)
        r.start[i + 1] += r.start[i];
    std::vector<std::int64_t> next(r.start.begin(), r.start.end() - 1);
    r.col.resize(a.col.size());
    r.val.resize(a.val.size());
    for (std::size_t k = 0; k < a.val.size(); ++k) {
        const std::size_t at = static_cast<std::size_t>(next[static_cast<std::size_t>(a.row[k])]++);
        r.col[at] = a.col[k];
        r.val[at] = a.val[k];
    }
    return r;
}

long double norm(const std::vector<long double> &v) {
    long double s = 0.0L;
    for (const long double x : v)
        s += x * x;
    return std::sqrt(s);
}

// ||b - Ax|| / ||b||, or for least squares ||A'(b - Ax)|| / ||A'b||, in long double.
double true_residual(const mm::Matrix &a, const std::vector<double> &b,
                     const std::vector<double> &x, bool least_squares) {
    std::vector<long double> r(b.begin(), b.end());
    for (std::size_t k = 0; k < a.val.size(); ++k)
        r[static_cast<std::size_t>(a.row[k])] -=
            static_cast<long double>(a.val[k]) * x[static_cast<std::size_t>(a.col[k])];
    std::vector<long double> top = r, bottom(b.begin(), b.end());
    if (least_squares) {
        top.assign(static_cast<std::size_t>(a.cols), 0.0L);
        bottom.assign(static_cast<std::size_t>(a.cols), 0.0L);
        for (std::size_t k = 0; k < a.val.size(); ++k) {
            const std::size_t i = static_cast<std::size_t>(a.row[k]);
            const std::size_t j = static_cast<std::size_t>(a.col[k]);
            top[j] += a.val[k] * r[i];
            bottom[j] += a.val[k] * static_cast<long double>(b[i]);
        }
    }
    const long double d = norm(bottom);
    return static_cast<double>(d > 0.0L ? norm(top) / d : norm(top));
}

const char *extension_of(QVint method) {
    if (method == QV_METHOD_SUPERLU || method == QV_METHOD_SUPERLU_PERMUTED)
        return "SUPERLU";
    return method == QV_METHOD_CHOLMOD ? "CHOLMOD" : nullptr;
}

void set_parameters(const cli::Options &o, QVint variables) {
    qvSolverParameteri(QV_PARAM_VARIABLE_COUNT, variables);
    qvSolverParameteri(QV_PARAM_LEAST_SQUARES, o.least_squares ? 1 : 0);
    qvSolverParameteri(QV_PARAM_SOLVER, o.method);
    qvSolverParameteri(QV_PARAM_PRECONDITIONER, o.preconditioner);
    if (o.threshold > 0.0)
        qvSolverParameterd(QV_PARAM_THRESHOLD, o.threshold);
    if (o.max_iterations > 0)
        qvSolverParameteri(QV_PARAM_MAX_ITERATIONS, o.max_iterations);
    if (o.threads > 0)
        qvSolverParameteri(QV_PARAM_THREADS, o.threads);
    if (o.restart > 0)
        qvSolverParameteri(QV_PARAM_GMRES_RESTART, o.restart);
    if (o.omega > 0.0)
        qvSolverParameterd(QV_PARAM_SSOR_OMEGA, o.omega);
    if (o.drop >= 0.0)
        qvSolverParameterd(QV_PARAM_ILUT_DROP, o.drop);
    if (o.fill > 0.0)
        qvSolverParameterd(QV_PARAM_ILUT_FILL, o.fill);
    if (o.pivot >= 0.0)
        qvSolverParameterd(QV_PARAM_ILUT_PIVOT, o.pivot);
    if (o.scaling >= 0)
        qvSolverParameteri(QV_PARAM_ILUT_SCALING, o.scaling);
}

// Assembles the rows into a new context, one qvCoefficients call a row.
void assemble(const Rows &rows, const std::vector<double> &b) {
    qvBegin(QV_BLOCK_SYSTEM);
    qvBegin(QV_BLOCK_MATRIX);
    for (std::size_t i = 0; i + 1 < rows.start.size(); ++i) {
        const std::size_t first = static_cast<std::size_t>(rows.start[i]);
        qvBegin(QV_BLOCK_ROW);
        qvCoefficients(static_cast<QVint>(rows.start[i + 1] - rows.start[i]),
                       rows.col.data() + first, rows.val.data() + first);
        qvRightHandSide(b[i]);
        qvEnd(QV_BLOCK_ROW);
    }
    qvEnd(QV_BLOCK_MATRIX);
    qvEnd(QV_BLOCK_SYSTEM);
}

// Reads the matrix and the right-hand side; returns an empty text or what is wrong.
std::string read_inputs(const cli::Options &o, mm::Matrix &a, std::vector<double> &b) {
    std::string error = cli::load_matrix(o.matrix, a);
    if (!error.empty())
        return error;
    if (!o.least_squares && a.rows != a.cols)
        return o.matrix + ": the matrix is " + std::to_string(a.rows) + " x " +
               std::to_string(a.cols) + "; a square one is needed, or --least-squares";
    if (a.cols > QV_MAX_VARIABLES)
        return o.matrix + ": more columns than brisvel takes (" + std::to_string(QV_MAX_VARIABLES) +
               ")";
    if (o.rhs.empty()) {
        b.assign(static_cast<std::size_t>(a.rows), 0.0);  // b = A * ones
        for (std::size_t k = 0; k < a.val.size(); ++k)
            b[static_cast<std::size_t>(a.row[k])] += a.val[k];
        return {};
    }
    mm::Matrix rhs;
    error = cli::load_matrix(o.rhs, rhs);
    if (!error.empty())
        return error;
    error = mm::to_vector(rhs, a.rows, b);
    return error.empty() ? error : o.rhs + ": the right-hand side " + error;
}

int run(const cli::Options &o) {
    cli::Report r;
    r.matrix = o.matrix;
    if (o.probe) {
        r.probed = true;
        r.superlu = qvInitExtension("SUPERLU") != 0;
        r.cholmod = qvInitExtension("CHOLMOD") != 0;
        qvGetError();
    }
    if (o.matrix.empty()) {
        cli::print_report(stderr, r, o.json);
        return 0;
    }
    auto t = std::chrono::steady_clock::now();
    mm::Matrix a;
    std::vector<double> b;
    r.input_error = read_inputs(o, a, b);
    if (!r.input_error.empty()) {
        cli::print_report(stderr, r, o.json);
        return 2;
    }
    r.rows = a.rows;
    r.cols = a.cols;
    r.entries = static_cast<std::int64_t>(a.val.size());
    r.read_s = seconds_since(t);

    t = std::chrono::steady_clock::now();
    const Rows rows = compress(a);
    if (const char *extension = extension_of(o.method))
        qvInitExtension(extension);  // a failure shows in the solve
    qvNewContext();
    set_parameters(o, a.cols);
    assemble(rows, b);
    r.assemble_s = seconds_since(t);
    const QVint method = qvGetParameteri(QV_PARAM_SOLVER);
    r.method = method != QV_METHOD_DEFAULT ? cli::method_name(method)
               : o.least_squares           ? "cg"
                                           : "bicgstab";
    r.preconditioner = cli::preconditioner_name(qvGetParameteri(QV_PARAM_PRECONDITIONER));
    r.least_squares = o.least_squares;
    r.threads = qvGetParameteri(QV_PARAM_THREADS);
    r.threshold = qvGetParameterd(QV_PARAM_THRESHOLD);
    qvGetError();

    ProgressLine line;
    line.draw = o.progress && stderr_is_terminal();
    qvSetProgressCallback(on_iteration, &line);
    std::signal(SIGINT, on_interrupt);
    t = std::chrono::steady_clock::now();
    r.attempted = true;
    r.solved = qvSolve() != 0;
    r.error = qvGetError();
    r.solve_s = seconds_since(t);
    std::signal(SIGINT, SIG_DFL);
    if (line.drawn)
        std::fprintf(stderr, "\r%60s\r", "");
    r.error_text = qvErrorString(r.error);
    r.iterations = qvGetParameteri(QV_USED_ITERATIONS);
    r.library_residual = qvGetParameterd(QV_RESIDUAL);
    r.setup_s = qvGetParameterd(QV_SETUP_SECONDS);
    r.fill = qvGetParameterd(QV_FACTOR_FILL);
    std::vector<double> x(static_cast<std::size_t>(a.cols));
    for (QVint j = 0; j < a.cols; ++j)
        x[static_cast<std::size_t>(j)] = qvGetVariable(j);
    qvDeleteContext(qvGetCurrent());

    t = std::chrono::steady_clock::now();
    r.residual = true_residual(a, b, x, o.least_squares);
    r.check_s = seconds_since(t);

    int status = r.solved ? 0 : 1;
    if (r.solved && o.write_solution) {
        t = std::chrono::steady_clock::now();
        const bool to_stdout = o.output == "-";
        std::FILE *f = to_stdout ? stdout : std::fopen(o.output.c_str(), "w");
        bool ok = f != nullptr && mm::write_vector(f, x.data(), x.size());
        if (f != nullptr && !to_stdout)
            ok = std::fclose(f) == 0 && ok;
        r.write_s = seconds_since(t);
        if (ok) {
            r.output = to_stdout ? "standard output" : o.output;
        } else {
            r.output_error = "cannot write the solution to " + o.output;
            status = 3;
        }
    }
    cli::print_report(stderr, r, o.json);
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    cli::Options options;
    const std::string error = cli::parse_options(argc, argv, options);
    if (!error.empty()) {
        std::fprintf(stderr, "brisvel-solve: %s\n%s", error.c_str(), cli::usage());
        return 2;
    }
    if (options.help) {
        std::fputs(cli::usage(), stdout);
        return 0;
    }
    return run(options);
}
