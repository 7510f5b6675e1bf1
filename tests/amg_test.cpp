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
    for (QVint value : {2, -1}) {
        qvSolverParameteri(QV_PARAM_AMG_PAIRS, value);
        EXPECT_EQ(qvGetError(), QV_ERROR_INVALID_VALUE) << value;
    }
    EXPECT_EQ(qvGetParameteri(QV_PARAM_AMG_PAIRS), 1);
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

// Least-squares conformal maps of a bent, jittered grid x grid sheet: two
// rows per triangle state that the map u + iv is conformal there, and the
// vertices' u and v are the interleaved variables 2p and 2p+1.
Problem conformal_map(int grid) {
    const int n = grid * grid;
    auto point = [&](int p) {
        const double jitter = 0.35 / (grid - 1.0);
        const double x = (p % grid + jitter * std::sin(7.3 * p)) / (grid - 1.0);
        const double y = (p / grid + jitter * std::cos(5.1 * p)) / (grid - 1.0);
        return std::vector<double>{x, y, 0.5 * std::sin(4.0 * x) * std::cos(3.0 * y)};
    };
    Problem prob;
    prob.cols = 2 * n;
    auto triangle = [&](int a, int b, int c) {
        const std::vector<double> pa = point(a), pb = point(b), pc = point(c);
        double e1[3], e2[3];
        for (std::size_t k = 0; k < 3; ++k)
            e1[k] = pb[k] - pa[k], e2[k] = pc[k] - pa[k];
        const double l1 = std::sqrt(e1[0] * e1[0] + e1[1] * e1[1] + e1[2] * e1[2]);
        const double x2 = (e1[0] * e2[0] + e1[1] * e2[1] + e1[2] * e2[2]) / l1;
        const double y2 =
            std::sqrt(std::max(0.0, e2[0] * e2[0] + e2[1] * e2[1] + e2[2] * e2[2] - x2 * x2));
        const double local[3][2] = {{0.0, 0.0}, {l1, 0.0}, {x2, y2}};  // in the triangle's plane
        const double s = 1.0 / std::sqrt(l1 * y2);                     // 1 / sqrt(2 area)
        const int corner[3] = {a, b, c};
        for (int part = 0; part < 2; ++part) {  // the real, then the imaginary part
            for (int q = 0; q < 3; ++q) {
                const double wr = (local[(q + 2) % 3][0] - local[(q + 1) % 3][0]) * s;
                const double wi = (local[(q + 2) % 3][1] - local[(q + 1) % 3][1]) * s;
                prob.entries.push_back({prob.rows, 2 * corner[q], part == 0 ? wr : wi});
                prob.entries.push_back({prob.rows, 2 * corner[q] + 1, part == 0 ? -wi : wr});
            }
            prob.rhs.push_back(0.0);
            ++prob.rows;
        }
    };
    for (int j = 0; j + 1 < grid; ++j)
        for (int i = 0; i + 1 < grid; ++i) {
            const int p = j * grid + i;
            triangle(p, p + 1, p + grid + 1);
            triangle(p, p + grid + 1, p + grid);
        }
    return prob;
}

// A map's u and v, given as interleaved pairs, are aggregated a vertex at a
// time, each with its own coarse unknown: CG on A'A takes fewer iterations
// than when AMG mixes the two in its aggregates, and reaches the same answer.
TEST_F(Amg, PairedUnknownsAreAggregatedTogether) {
    const int grid = 40, far = grid * grid - 1;
    const Problem p = conformal_map(grid);
    std::vector<double> answer[2];
    int iterations[2] = {0, 0};
    for (int pairs : {1, 0}) {
        assemble(p, QV_METHOD_CG, QV_PRECONDITIONER_AMG, true,
                 {{0, 0.0}, {1, 0.0}, {2 * far, 1.0}, {2 * far + 1, 0.0}});
        qvSolverParameteri(QV_PARAM_AMG_PAIRS, pairs);
        qvSolverParameterd(QV_PARAM_THRESHOLD, 1e-10);
        ASSERT_TRUE(qvSolve()) << qvErrorString(qvGetError());
        iterations[pairs] = qvGetParameteri(QV_USED_ITERATIONS);
        answer[pairs] = read_variables(p.cols);
        qvDeleteContext(qvGetCurrent());
    }
    RecordProperty("paired_iterations", iterations[1]);
    RecordProperty("unpaired_iterations", iterations[0]);
    EXPECT_LT(iterations[1], iterations[0] * 3 / 4);
    for (std::size_t k = 0; k < answer[0].size(); ++k)
        EXPECT_NEAR(answer[1][k], answer[0][k], 1e-6);
}

}  // namespace
