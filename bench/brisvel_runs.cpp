// brisvel's side of the benchmark: assembly and solves through the public
// interface, and the product timed through the library's own kernel.
#include "runs.h"

// The product is internal to the library; the benchmark compiles the
// kernel's source file in, so that it times the very same code.
#include "kernels/csr.h"
#include "kernels/parallel.h"

#include <brisvel/brisvel.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <thread>

namespace bench {

double now() {
    using clock = std::chrono::steady_clock;
    static const clock::time_point start = clock::now();
    return std::chrono::duration<double>(clock::now() - start).count();
}

std::string cpu_model() {
    std::ifstream info("/proc/cpuinfo");
    std::string line;
    while (std::getline(info, line))
        if (line.rfind("model name", 0) == 0) {
            const std::size_t colon = line.find(':');
            if (colon != std::string::npos && colon + 2 <= line.size())
                return line.substr(colon + 2);
        }
    return "unknown processor";
}

namespace {

// Gives the problem's rows to the current context.
void give_rows(const Problem &p, bool bulk) {
    qvBegin(QV_BLOCK_SYSTEM);
    qvBegin(QV_BLOCK_MATRIX);
    const std::size_t rows = static_cast<std::size_t>(p.rows);
    for (std::size_t i = 0; i < rows; ++i) {
        qvBegin(QV_BLOCK_ROW);
        const auto row_begin = static_cast<std::size_t>(p.start[i]);
        const auto row_end = static_cast<std::size_t>(p.start[i + 1]);
        if (bulk)
            qvCoefficients(static_cast<QVint>(row_end - row_begin), &p.col[row_begin],
                           &p.val[row_begin]);
        else
            for (std::size_t k = row_begin; k < row_end; ++k)
                qvCoefficient(p.col[k], p.val[k]);
        qvRightHandSide(p.rhs[i]);
        qvEnd(QV_BLOCK_ROW);
    }
    qvEnd(QV_BLOCK_MATRIX);
    qvEnd(QV_BLOCK_SYSTEM);
}

void assemble(const Problem &p, bool least_squares, bool bulk = false) {
    qvNewContext();
    qvSolverParameteri(QV_PARAM_VARIABLE_COUNT, p.cols);
    qvSolverParameteri(QV_PARAM_LEAST_SQUARES, least_squares ? 1 : 0);
    give_rows(p, bulk);
}

// Prints the iteration and residual every two seconds.
QVbool report_progress(QVint iteration, QVdouble residual, void *user) {
    Progress &progress = *static_cast<Progress *>(user);
    const double t = now();
    if (t - progress.last >= 2.0) {
        std::fprintf(stderr, "  %s: iteration %d, residual %.2e, %.0f s\n", progress.label.c_str(),
                     iteration, residual, t - progress.started);
        progress.last = t;
    }
    return 0;
}

QVint method_of(Solver solver) {
    switch (solver) {
    case Solver::Bicgstab:
        return QV_METHOD_BICGSTAB;
    case Solver::Cg:
    case Solver::Cgls:
        return QV_METHOD_CG;
    case Solver::LeastSquares:
        return QV_METHOD_DEFAULT;
    case Solver::Gmres:
        return QV_METHOD_GMRES;
    case Solver::SparseLu:
        return QV_METHOD_SUPERLU_PERMUTED;
    default:
        return QV_METHOD_CHOLMOD;
    }
}

QVint preconditioner_of(Preconditioner preconditioner) {
    switch (preconditioner) {
    case Preconditioner::Ssor:
        return QV_PRECONDITIONER_SSOR;
    case Preconditioner::Ilu0:
        return QV_PRECONDITIONER_ILU0;
    case Preconditioner::Ic0:
        return QV_PRECONDITIONER_IC0;
    case Preconditioner::Amg:
        return QV_PRECONDITIONER_AMG;
    default:
        return QV_PRECONDITIONER_JACOBI;
    }
}

// The right-hand side of row i of system s in the callers case: the
// problem's own, varied smoothly from system to system.
double varied_rhs(const Problem &p, int s, std::size_t i) {
    return p.rhs[i] * (1.0 + 0.5 * std::sin(0.7 * s + 0.013 * static_cast<double>(i)));
}

}  // namespace

double brisvel_assembly(const Problem &p, bool bulk) {
    const double t0 = now();
    assemble(p, least_squares(p.kind), bulk);
    const double seconds = now() - t0;
    qvDeleteContext(qvGetCurrent());
    return seconds;
}

double brisvel_reassembly(const Problem &p) {
    assemble(p, least_squares(p.kind), true);
    const double t0 = now();
    give_rows(p, true);
    const double seconds = now() - t0;
    qvDeleteContext(qvGetCurrent());
    return seconds;
}

Outcome brisvel_solve(const Problem &p, Solver solver, double threshold, int threads,
                      Progress *progress, Preconditioner preconditioner) {
    Outcome out;
    if (solver == Solver::SparseLu || solver == Solver::Cholesky) {
        if (!qvInitExtension(solver == Solver::SparseLu ? "SUPERLU" : "CHOLMOD")) {
            out.available = false;
            out.note = qvErrorString(qvGetError());
            return out;
        }
    }
    std::vector<double> x(static_cast<std::size_t>(p.cols));
    const double t0 = now();
    const bool lsq = solver == Solver::LeastSquares || solver == Solver::Cgls;
    assemble(p, lsq);
    qvSolverParameteri(QV_PARAM_SOLVER, method_of(solver));
    qvSolverParameterd(QV_PARAM_THRESHOLD, threshold);
    qvSolverParameteri(QV_PARAM_THREADS, threads);
    if (preconditioner != Preconditioner::Jacobi)
        qvSolverParameteri(QV_PARAM_PRECONDITIONER, preconditioner_of(preconditioner));
    if (progress != nullptr && progress->enabled) {
        progress->started = progress->last = now();
        qvSetProgressCallback(report_progress, progress);
    }
    out.succeeded = qvSolve() != 0;
    for (int j = 0; j < p.cols; ++j)
        x[static_cast<std::size_t>(j)] = qvGetVariable(j);
    out.seconds = now() - t0;
    if (!out.succeeded)
        out.note = qvErrorString(qvGetError());
    if (solver != Solver::SparseLu && solver != Solver::Cholesky)
        out.iterations = qvGetParameteri(QV_USED_ITERATIONS);
    out.claimed = qvGetParameterd(QV_RESIDUAL);
    out.setup = qvGetParameterd(QV_SETUP_SECONDS);
    qvDeleteContext(qvGetCurrent());
    out.residual = lsq ? normal_residual(p, x.data()) : relative_residual(p, x.data());
    return out;
}

bool brisvel_unstored(Kind kind, int grid, double threshold, int threads) {
    const int rows = problem_rows(kind, grid), cols = problem_cols(kind, grid);
    qvNewContext();
    qvSolverParameteri(QV_PARAM_VARIABLE_COUNT, cols);
    qvSolverParameteri(QV_PARAM_LEAST_SQUARES, least_squares(kind) ? 1 : 0);
    qvSolverParameteri(QV_PARAM_SOLVER,
                       least_squares(kind) ? QV_METHOD_DEFAULT : QV_METHOD_BICGSTAB);
    qvSolverParameterd(QV_PARAM_THRESHOLD, threshold);
    qvSolverParameteri(QV_PARAM_THREADS, threads);
    qvBegin(QV_BLOCK_SYSTEM);
    qvBegin(QV_BLOCK_MATRIX);
    for (int i = 0; i < rows; ++i) {
        const Row row = problem_row(kind, grid, i);
        qvBegin(QV_BLOCK_ROW);
        for (int k = 0; k < row.count; ++k)
            qvCoefficient(row.col[k], row.val[k]);
        qvRightHandSide(row.rhs);
        qvEnd(QV_BLOCK_ROW);
    }
    qvEnd(QV_BLOCK_MATRIX);
    qvEnd(QV_BLOCK_SYSTEM);
    const bool ok = qvSolve() != 0;
    std::vector<double> x(static_cast<std::size_t>(cols));
    for (int j = 0; j < cols; ++j)
        x[static_cast<std::size_t>(j)] = qvGetVariable(j);
    qvDeleteContext(qvGetCurrent());
    return ok;
}

CallersRun brisvel_callers(int systems, int grid, int callers, double threshold,
                           std::vector<double> &answers) {
    const Problem p = make_problem(Kind::ConvectionDiffusion, grid);
    const auto n = static_cast<std::size_t>(p.cols);
    answers.assign(static_cast<std::size_t>(systems) * n, 0.0);
    std::vector<int> failed(static_cast<std::size_t>(systems), 0);
    std::vector<int> used(static_cast<std::size_t>(systems), 0);
    // Caller c takes systems c, c + callers, ...: the same work whatever the
    // count, each system in a new context of the caller's own. The thread
    // count is left at its default: at this size the library runs each
    // solve on one thread.
    auto caller = [&](int first) {
        for (int s = first; s < systems; s += callers) {
            qvNewContext();
            qvSolverParameteri(QV_PARAM_VARIABLE_COUNT, p.cols);
            qvSolverParameteri(QV_PARAM_SOLVER, QV_METHOD_BICGSTAB);
            qvSolverParameterd(QV_PARAM_THRESHOLD, threshold);
            qvBegin(QV_BLOCK_SYSTEM);
            qvBegin(QV_BLOCK_MATRIX);
            for (std::size_t i = 0; i < n; ++i) {
                qvBegin(QV_BLOCK_ROW);
                const auto row_begin = static_cast<std::size_t>(p.start[i]);
                const auto row_end = static_cast<std::size_t>(p.start[i + 1]);
                qvCoefficients(static_cast<QVint>(row_end - row_begin), &p.col[row_begin],
                               &p.val[row_begin]);
                qvRightHandSide(varied_rhs(p, s, i));
                qvEnd(QV_BLOCK_ROW);
            }
            qvEnd(QV_BLOCK_MATRIX);
            qvEnd(QV_BLOCK_SYSTEM);
            const auto k = static_cast<std::size_t>(s);
            failed[k] = qvSolve() ? 0 : 1;
            used[k] = qvGetParameteri(QV_USED_ITERATIONS);
            double *x = &answers[k * n];
            for (std::size_t j = 0; j < n; ++j)
                x[j] = qvGetVariable(static_cast<QVint>(j));
            qvDeleteContext(qvGetCurrent());
        }
    };
    CallersRun run;
    const double t0 = now();
    std::vector<std::thread> team;
    for (int c = 0; c < callers; ++c)
        team.emplace_back(caller, c);
    for (std::thread &t : team)
        t.join();
    run.seconds = now() - t0;
    // Every answer judged by its true residual, after the clock stops.
    Problem q = p;
    for (int s = 0; s < systems; ++s) {
        const auto k = static_cast<std::size_t>(s);
        for (std::size_t i = 0; i < n; ++i)
            q.rhs[i] = varied_rhs(p, s, i);
        run.worst = std::max(run.worst, relative_residual(q, &answers[k * n]));
        run.failures += failed[k];
        run.iterations += used[k];
    }
    return run;
}

double brisvel_spmv_bandwidth(const Problem &p, int threads, double seconds) {
    brisvel::CsrMatrix a;
    a.rows = p.rows;
    a.cols = p.cols;
    a.row_ptr.assign(p.start.begin(), p.start.end());
    a.col.assign(p.col.begin(), p.col.end());
    a.val.assign(p.val.begin(), p.val.end());
    brisvel::set_kernel_threads(threads);
    brisvel::Vector x(static_cast<std::size_t>(p.cols), 1.0), y(static_cast<std::size_t>(p.rows));
    const double bytes = 12.0 * static_cast<double>(p.nonzeros()) + 16.0 * p.rows;
    double best = 1e30;
    const double t_end = now() + seconds;
    for (int rep = 0; rep < 5 || now() < t_end; ++rep) {
        const double t0 = now();
        brisvel::spmv(a, x.data(), y.data());
        best = std::min(best, now() - t0);
    }
    return bytes / best * 1e-9;
}

double triad_bandwidth(std::size_t n, int threads) {
    (void)threads;                                    // unused without OpenMP
    brisvel::Vector a(n, 0.0), b(n, 1.0), c(n, 2.0);  // on huge pages, as the product's arrays
    const long count = static_cast<long>(n);
    double best = 1e30;
    for (int rep = 0; rep < 5; ++rep) {
        const double t0 = now();
#ifdef _OPENMP
#pragma omp parallel for schedule(static) num_threads(threads)
#endif
        for (long i = 0; i < count; ++i) {
            const auto k = static_cast<std::size_t>(i);
            a[k] = b[k] + 3.0 * c[k];
        }
        best = std::min(best, now() - t0);
    }
    return 24.0 * static_cast<double>(n) / best * 1e-9;
}

}  // namespace bench
