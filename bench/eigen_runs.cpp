// Eigen's side of the benchmark: the same problems built from triplets and
// solved with Eigen's own solvers, with its OpenMP products.
#include "runs.h"

#include <Eigen/IterativeLinearSolvers>
#include <Eigen/SparseCholesky>
#include <Eigen/SparseCore>
#include <Eigen/SparseLU>
#include <unsupported/Eigen/IterativeSolvers>

#include <algorithm>

namespace bench {
namespace {

// Row-major, so that Eigen's products run on all its threads.
using RowMatrix = Eigen::SparseMatrix<double, Eigen::RowMajor, int>;
using ColMatrix = Eigen::SparseMatrix<double, Eigen::ColMajor, int>;

template <class Matrix> void build(const Problem &p, Matrix &a, Eigen::VectorXd &b) {
    std::vector<Eigen::Triplet<double>> triplets;
    triplets.reserve(static_cast<std::size_t>(p.nonzeros()));
    for (int i = 0; i < p.rows; ++i) {
        const auto row = static_cast<std::size_t>(i);
        const auto row_end = static_cast<std::size_t>(p.start[row + 1]);
        for (auto k = static_cast<std::size_t>(p.start[row]); k < row_end; ++k)
            triplets.emplace_back(i, p.col[k], p.val[k]);
    }
    a.resize(p.rows, p.cols);
    a.setFromTriplets(triplets.begin(), triplets.end());
    b = Eigen::Map<const Eigen::VectorXd>(p.rhs.data(), p.rows);
}

int iteration_limit(const Problem &p) { return std::max(1000, 2 * p.cols); }

// Builds, sets up and runs an iterative solver; fills out.
template <class Solver>
void iterative(const Problem &p, double threshold, Outcome &out, Eigen::VectorXd &x,
               void (*setup)(Solver &) = nullptr) {
    const double t0 = now();
    RowMatrix a;
    Eigen::VectorXd b;
    build(p, a, b);
    Solver solver;
    solver.setTolerance(threshold);
    solver.setMaxIterations(iteration_limit(p));
    if (setup != nullptr)
        setup(solver);
    solver.compute(a);
    x = solver.solve(b);
    out.seconds = now() - t0;
    out.iterations = static_cast<int>(solver.iterations());
    out.claimed = solver.error();
    out.succeeded = solver.info() == Eigen::Success;
}

template <class Solver> void direct(const Problem &p, Outcome &out, Eigen::VectorXd &x) {
    const double t0 = now();
    ColMatrix a;
    Eigen::VectorXd b;
    build(p, a, b);
    Solver solver;
    solver.compute(a);
    if (solver.info() == Eigen::Success)
        x = solver.solve(b);
    out.seconds = now() - t0;
    out.succeeded = solver.info() == Eigen::Success;
}

void restart_30(Eigen::GMRES<RowMatrix, Eigen::DiagonalPreconditioner<double>> &s) {
    s.set_restart(30);
}

}  // namespace

double eigen_assembly(const Problem &p) {
    const double t0 = now();
    RowMatrix a;
    Eigen::VectorXd b;
    build(p, a, b);
    return now() - t0;
}

Outcome eigen_solve(const Problem &p, Solver solver, double threshold) {
    Outcome out;
    Eigen::VectorXd x;
    switch (solver) {
    case Solver::Bicgstab:
        iterative<Eigen::BiCGSTAB<RowMatrix, Eigen::DiagonalPreconditioner<double>>>(p, threshold,
                                                                                     out, x);
        break;
    case Solver::Cg:
        iterative<Eigen::ConjugateGradient<RowMatrix, Eigen::Lower | Eigen::Upper,
                                           Eigen::DiagonalPreconditioner<double>>>(p, threshold,
                                                                                   out, x);
        break;
    case Solver::Gmres:
        iterative<Eigen::GMRES<RowMatrix, Eigen::DiagonalPreconditioner<double>>>(p, threshold, out,
                                                                                  x, restart_30);
        break;
    case Solver::LeastSquares:
    case Solver::Cgls:
        iterative<Eigen::LeastSquaresConjugateGradient<RowMatrix>>(p, threshold, out, x);
        break;
    case Solver::SparseLu:
        direct<Eigen::SparseLU<ColMatrix, Eigen::COLAMDOrdering<int>>>(p, out, x);
        break;
    case Solver::Cholesky:
        direct<Eigen::SimplicialLDLT<ColMatrix>>(p, out, x);
        break;
    }
    if (x.size() != p.cols) {
        out.succeeded = false;
        out.residual = 1.0;
        return out;
    }
    const bool lsq = solver == Solver::LeastSquares || solver == Solver::Cgls;
    out.residual = lsq ? normal_residual(p, x.data()) : relative_residual(p, x.data());
    if (!out.succeeded)
        out.note = "Eigen reported failure";
    return out;
}

// Solves a and b with Solver, as eigen_unstored does; true when it succeeded.
template <class Solver>
bool solved(const RowMatrix &a, const Eigen::VectorXd &b, double threshold) {
    Solver solver;
    solver.setTolerance(threshold);
    solver.setMaxIterations(std::max(1000, 2 * static_cast<int>(a.cols())));
    solver.compute(a);
    const Eigen::VectorXd x = solver.solve(b);
    return solver.info() == Eigen::Success && x.size() == a.cols();
}

bool eigen_unstored(Kind kind, int grid, double threshold) {
    const int rows = problem_rows(kind, grid), cols = problem_cols(kind, grid);
    RowMatrix a(rows, cols);
    Eigen::VectorXd b(rows);
    {
        std::vector<Eigen::Triplet<double>> triplets;
        triplets.reserve(static_cast<std::size_t>(rows) * max_row_entries);
        for (int i = 0; i < rows; ++i) {
            const Row row = problem_row(kind, grid, i);
            for (int k = 0; k < row.count; ++k)
                triplets.emplace_back(i, row.col[k], row.val[k]);
            b[i] = row.rhs;
        }
        a.setFromTriplets(triplets.begin(), triplets.end());
    }
    if (least_squares(kind))
        return solved<Eigen::LeastSquaresConjugateGradient<RowMatrix>>(a, b, threshold);
    return solved<Eigen::BiCGSTAB<RowMatrix, Eigen::DiagonalPreconditioner<double>>>(a, b,
                                                                                     threshold);
}

double eigen_spmv_bandwidth(const Problem &p, double seconds) {
    RowMatrix a;
    Eigen::VectorXd b;
    build(p, a, b);
    Eigen::VectorXd x = Eigen::VectorXd::Ones(p.cols), y(p.rows);
    const double bytes = 12.0 * static_cast<double>(p.nonzeros()) + 16.0 * p.rows;
    double best = 1e30;
    const double t_end = now() + seconds;
    for (int rep = 0; rep < 5 || now() < t_end; ++rep) {
        const double t0 = now();
        y.noalias() = a * x;
        best = std::min(best, now() - t0);
    }
    return bytes / best * 1e-9;
}

}  // namespace bench
