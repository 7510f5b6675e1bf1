// Algebraic multigrid: few iterations that stay flat as the grid grows, on
// the elliptic problems it is made for; the same bits on any team; honest
// refusals; least squares on the normal equations.
#include "test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

using namespace testing_support;

namespace {

class Amg : public LibraryTest {};

constexpr double threshold = 1e-8;

// -u_xx - 1e-3 u_yy on a grid x grid mesh, b = 1.
Problem anisotropic(int grid) {
    Problem p;
    p.rows = p.cols = grid * grid;
    for (int j = 0; j < grid; ++j)
        for (int i = 0; i < grid; ++i) {
            const int row = j * grid + i;
            if (j > 0)
                p.entries.push_back({row, row - grid, -1e-3});
            if (i > 0)
                p.entries.push_back({row, row - 1, -1.0});
            p.entries.push_back({row, row, 2.002});
            if (i + 1 < grid)
                p.entries.push_back({row, row + 1, -1.0});
            if (j + 1 < grid)
                p.entries.push_back({row, row + grid, -1e-3});
        }
    p.rhs.assign(static_cast<std::size_t>(p.rows), 1.0);
    return p;
}

struct Outcome {
    bool solved;
    int iterations, levels;
    double residual, complexity;
};

Outcome solve(const Problem &p, QVint method, int threads = 1) {
    assemble(p, method, QV_PRECONDITIONER_AMG);
    qvSolverParameterd(QV_PARAM_THRESHOLD, threshold);
    qvSolverParameteri(QV_PARAM_THREADS, threads);
    const bool solved = qvSolve() != 0;
    const Outcome o{solved, qvGetParameteri(QV_USED_ITERATIONS), qvGetParameteri(QV_AMG_LEVELS),
                    relative_residual(p, read_variables(p.cols)),
                    qvGetParameterd(QV_AMG_COMPLEXITY)};
    qvDeleteContext(qvGetCurrent());
    return o;
}

// Poisson, jumps of 1e4, anisotropy and convection-diffusion (BiCGStab's
// and GMRES's preconditioner) at three sizes: every solve meets the
// threshold by its true residual in a handful of iterations, with more
// levels as the grid grows and iterations that barely grow with it.
TEST_F(Amg, SolvesEllipticProblemsInIterationsThatStayFlat) {
    struct Kind {
        const char *name;
        Problem (*make)(int);
        QVint method;
        int most;  // iterations allowed at any size
    };
    const Kind kinds[] = {
        {"poisson", [](int g) { return poisson(g); }, QV_METHOD_CG, 25},
        {"jumps", [](int g) { return checkerboard_diffusion(g, 1e4); }, QV_METHOD_CG, 30},
        {"anisotropic", anisotropic, QV_METHOD_CG, 25},
        {"convection", [](int g) { return convection_diffusion(g, 0.1); }, QV_METHOD_BICGSTAB, 20},
        {"convection", [](int g) { return convection_diffusion(g, 0.1); }, QV_METHOD_GMRES, 30},
    };
    for (const Kind &kind : kinds) {
        int first = 0, levels = 0;
        for (int grid : {48, 96, 192}) {
            SCOPED_TRACE(testing::Message() << kind.name << " " << kind.method << " " << grid);
            const Outcome o = solve(kind.make(grid), kind.method);
            EXPECT_TRUE(o.solved);
            EXPECT_LE(o.residual, threshold * 1.01);
            EXPECT_LE(o.iterations, kind.most);
            EXPECT_GE(o.levels, levels);  // no fewer levels for a larger grid
            EXPECT_GT(o.complexity, 1.0);
            EXPECT_LT(o.complexity, 2.5);
            if (grid == 48)
                first = o.iterations;
            else
                EXPECT_LE(o.iterations, first + first / 2 + 2);  // flat, give or take
            levels = o.levels;
        }
        EXPECT_GT(levels, 2);
    }
}

// The hierarchy and the cycle give the same bits on any team.
TEST_F(Amg, AnswersAreTheSameBitsOnAnyTeam) {
    const Problem p = checkerboard_diffusion(120, 1e4);
    std::vector<double> first;
    for (int threads : {1, 2, 3}) {
        assemble(p, QV_METHOD_CG, QV_PRECONDITIONER_AMG);
        qvSolverParameterd(QV_PARAM_THRESHOLD, threshold);
        qvSolverParameteri(QV_PARAM_THREADS, threads);
        ASSERT_TRUE(qvSolve());
        const std::vector<double> x = read_variables(p.cols);
        qvDeleteContext(qvGetCurrent());
        if (first.empty())
            first = x;
        else
            EXPECT_EQ(std::memcmp(first.data(), x.data(), x.size() * sizeof(double)), 0)
                << threads << " threads";
    }
}

// A matrix with a zero diagonal entry has no smoother: refused with the
// preconditioner's code, the variables left as they were. Parameters out of
// range are refused too.
TEST_F(Amg, RefusesWhatItCannotBuild) {
    Problem p = poisson(30);
    for (Entry &e : p.entries)
        if (e.row == 17 && e.col == 17)
            e.value = 0.0;
    assemble(p, QV_METHOD_CG, QV_PRECONDITIONER_AMG);
    qvSetVariable(3, 2.5);
    EXPECT_FALSE(qvSolve());
    EXPECT_EQ(qvGetError(), QV_ERROR_PRECONDITIONER);
    EXPECT_EQ(qvGetVariable(3), 2.5);
    EXPECT_EQ(qvGetParameteri(QV_AMG_LEVELS), 0);
    qvDeleteContext(qvGetCurrent());
    qvNewContext();
    for (QVint code : {QV_PARAM_AMG_SWEEPS, QV_PARAM_AMG_COARSEST})
        for (QVint value : {0, -1, 100000}) {
            qvSolverParameteri(code, value);
            EXPECT_EQ(qvGetError(), QV_ERROR_INVALID_VALUE) << code << " " << value;
        }
    for (double value : {0.0, 1.0, -0.5, std::nan("")}) {
        qvSolverParameterd(QV_PARAM_AMG_STRENGTH, value);
        EXPECT_NE(qvGetError(), QV_OK) << value;
    }
    EXPECT_EQ(qvGetParameterd(QV_PARAM_AMG_STRENGTH), 0.02);
    EXPECT_EQ(qvGetParameteri(QV_PARAM_AMG_COARSEST), 500);
}

// In least squares the hierarchy is built on the formed A'A: the answer is
// the least-squares solution, within the verdict's threshold.
TEST_F(Amg, LeastSquaresBuildsOnTheNormalEquations) {
    Problem p;  // differences along a 16 x 16 grid, plus a weak pull to 1
    const int grid = 16;
    p.cols = grid * grid;
    for (int j = 0; j < grid; ++j)
        for (int i = 0; i < grid; ++i) {
            const int k = j * grid + i;
            auto row = [&](int other, double rhs) {
                p.entries.push_back({p.rows, k, 1.0});
                if (other >= 0)
                    p.entries.push_back({p.rows, other, -1.0});
                p.rhs.push_back(rhs);
                ++p.rows;
            };
            if (i + 1 < grid)
                row(k + 1, 0.01 * i);
            if (j + 1 < grid)
                row(k + grid, 0.0);
            if (k % 7 == 0)
                row(-1, 1.0);
        }
    const std::vector<double> reference = dense_least_squares(p, {});
    for (QVint method : {QV_METHOD_DEFAULT, QV_METHOD_CG}) {
        assemble(p, method, QV_PRECONDITIONER_AMG, true);
        qvSolverParameterd(QV_PARAM_THRESHOLD, 1e-10);
        qvSolverParameteri(QV_PARAM_AMG_COARSEST, 20);  // levels even for a small problem
        ASSERT_TRUE(qvSolve()) << qvErrorString(qvGetError());
        EXPECT_GT(qvGetParameteri(QV_AMG_LEVELS), 1);
        const std::vector<double> x = read_variables(p.cols);
        for (int j = 0; j < p.cols; ++j)
            EXPECT_NEAR(x[static_cast<std::size_t>(j)], reference[static_cast<std::size_t>(j)],
                        1e-6);
        qvDeleteContext(qvGetCurrent());
    }
}

}  // namespace
