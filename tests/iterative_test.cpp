// Every iterative method with every preconditioner, judged by the true residual
// computed here, on small and large systems.
#include "test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <tuple>

using namespace testing_support;

namespace {

struct Case {
    QVint method;
    QVint preconditioner;
};

std::string case_name(const ::testing::TestParamInfo<Case> &info) {
    const char *method = info.param.method == QV_METHOD_GMRES     ? "Gmres"
                         : info.param.method == QV_METHOD_CG      ? "Cg"
                         : info.param.method == QV_METHOD_DEFAULT ? "Default"
                                                                  : "Bicgstab";
    const char *pre = info.param.preconditioner == QV_PRECONDITIONER_SSOR   ? "Ssor"
                      : info.param.preconditioner == QV_PRECONDITIONER_NONE ? "None"
                                                                            : "Jacobi";
    return std::string(method) + pre;
}

class IterativeMethod : public ::testing::TestWithParam<Case> {
  protected:
    void TearDown() override { release_contexts(); }

    // Solves p and checks success, the reported residual and the true one.
    void expect_solved(const Problem &p, double threshold) {
        assemble(p, GetParam().method, GetParam().preconditioner);
        qvSolverParameterd(QV_PARAM_THRESHOLD, threshold);
        ASSERT_TRUE(qvSolve()) << qvErrorString(qvGetError());
        const std::vector<double> x = read_variables(p.cols);
        const double reported = qvGetParameterd(QV_RESIDUAL);
        const double actual = relative_residual(p, x);
        EXPECT_LE(actual, threshold * 1.01);
        EXPECT_NEAR(reported, actual, 1e-3 * threshold + 1e-14);
        EXPECT_GE(reported * 1.01 + 1e-16, actual);  // never understated
        EXPECT_GT(qvGetParameteri(QV_USED_ITERATIONS), 0);
        RecordProperty("iterations", qvGetParameteri(QV_USED_ITERATIONS));
        std::ostringstream text;
        text << actual;
        RecordProperty("residual", text.str());
    }
};

TEST_P(IterativeMethod, SolvesTheTwoByTwoSystemExactly) {
    Problem p;
    p.rows = p.cols = 2;
    p.entries = {{0, 0, 1.0}, {0, 1, 2.0}, {1, 0, 3.0}, {1, 1, 4.0}};
    p.rhs = {5.0, 6.0};
    if (GetParam().method == QV_METHOD_CG) {  // CG needs a symmetric positive definite matrix
        p.entries = {{0, 0, 4.0}, {0, 1, 1.0}, {1, 0, 1.0}, {1, 1, 3.0}};
        p.rhs = {1.0, 2.0};
    }
    expect_solved(p, 1e-12);
    const std::vector<double> x = read_variables(2);
    if (GetParam().method == QV_METHOD_CG) {
        EXPECT_NEAR(x[0], 1.0 / 11.0, 1e-12);
        EXPECT_NEAR(x[1], 7.0 / 11.0, 1e-12);
    } else {
        EXPECT_NEAR(x[0], -4.0, 1e-11);
        EXPECT_NEAR(x[1], 4.5, 1e-11);
    }
}

TEST_P(IterativeMethod, SolvesALargeSparseSystem) {
    const int grid = 120;  // 14,400 unknowns
    const Problem p =
        GetParam().method == QV_METHOD_CG ? poisson(grid) : convection_diffusion(grid, 0.4);
    expect_solved(p, 1e-8);
    const std::vector<double> x = read_variables(p.cols);
    double worst = 0.0;
    for (int i = 0; i < p.cols; ++i)
        worst = std::fmax(worst, std::fabs(x[static_cast<std::size_t>(i)] - known_solution(i)));
    EXPECT_LT(worst, 1e-4);
}

INSTANTIATE_TEST_SUITE_P(AllCombinations, IterativeMethod,
                         ::testing::Values(Case{QV_METHOD_DEFAULT, QV_PRECONDITIONER_JACOBI},
                                           Case{QV_METHOD_BICGSTAB, QV_PRECONDITIONER_JACOBI},
                                           Case{QV_METHOD_BICGSTAB, QV_PRECONDITIONER_SSOR},
                                           Case{QV_METHOD_BICGSTAB, QV_PRECONDITIONER_NONE},
                                           Case{QV_METHOD_GMRES, QV_PRECONDITIONER_JACOBI},
                                           Case{QV_METHOD_GMRES, QV_PRECONDITIONER_SSOR},
                                           Case{QV_METHOD_GMRES, QV_PRECONDITIONER_NONE},
                                           Case{QV_METHOD_CG, QV_PRECONDITIONER_JACOBI},
                                           Case{QV_METHOD_CG, QV_PRECONDITIONER_SSOR},
                                           Case{QV_METHOD_CG, QV_PRECONDITIONER_NONE}),
                         case_name);

}  // namespace

// Full GMRES on ill-conditioned systems, where one pass of classical
// Gram-Schmidt loses the basis' orthogonality: convergence then stalls or
// needs several times n iterations. With the basis kept orthogonal it needs
// little more than n.
TEST(Gmres, KeepsItsBasisOrthogonalOnIllConditionedSystems) {
    const int n = 200;
    for (const double spread : {1e8, 1e10}) {
        Problem p;  // eigenvalues from 1 down to 1 / spread, and a superdiagonal
        p.rows = p.cols = n;
        for (int i = 0; i < n; ++i) {
            const double d = std::pow(spread, -static_cast<double>(i) / (n - 1));
            p.entries.push_back({i, i, d});
            if (i + 1 < n)
                p.entries.push_back({i, i + 1, 0.3 * d});
        }
        p.rhs.assign(n, 1.0);
        assemble(p, QV_METHOD_GMRES, QV_PRECONDITIONER_NONE);
        qvSolverParameteri(QV_PARAM_GMRES_RESTART, n);
        qvSolverParameteri(QV_PARAM_MAX_ITERATIONS, spread < 1e9 ? 3 * n / 2 : 2 * n);
        qvSolverParameterd(QV_PARAM_THRESHOLD, 1e-10);
        EXPECT_TRUE(qvSolve()) << "spread " << spread << ": " << qvErrorString(qvGetError());
        EXPECT_LE(relative_residual(p, read_variables(n)), 1e-10) << "spread " << spread;
        release_contexts();
    }
}
