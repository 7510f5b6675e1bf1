// The progress callback: told of each iteration, and able to stop a solve.
#include "test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

using namespace testing_support;

namespace {

struct Log {
    std::vector<int> iterations;
    std::vector<double> residuals;
    int stop_at = -1;  // asks to stop at this iteration
};

QVbool record(QVint iteration, QVdouble residual, void *user) {
    Log &log = *static_cast<Log *>(user);
    log.iterations.push_back(iteration);
    log.residuals.push_back(residual);
    return iteration == log.stop_at ? 1 : 0;
}

struct Case {
    const char *name;
    QVint method;
    bool least_squares;
};

class Progress : public ::testing::TestWithParam<Case> {
  protected:
    void TearDown() override { release_contexts(); }

    // A problem the case's method can solve, assembled into a new context.
    Problem assemble_case() {
        const Case &c = GetParam();
        Problem p = c.method == QV_METHOD_CG || c.least_squares ? poisson(40)
                                                                : convection_diffusion(40, 0.2);
        assemble(p, c.method, QV_PRECONDITIONER_JACOBI, c.least_squares);
        qvSolverParameterd(QV_PARAM_THRESHOLD, 1e-9);
        return p;
    }

    double true_residual(const Problem &p) {
        const std::vector<double> x = read_variables(p.cols);
        return GetParam().least_squares ? normal_residual(p, x) : relative_residual(p, x);
    }
};

std::string case_name(const ::testing::TestParamInfo<Case> &info) { return info.param.name; }

TEST_P(Progress, CallbackSeesEachIterationInOrder) {
    assemble_case();
    Log log;
    qvSetProgressCallback(record, &log);
    ASSERT_TRUE(qvSolve()) << qvErrorString(qvGetError());
    const int used = qvGetParameteri(QV_USED_ITERATIONS);
    ASSERT_FALSE(log.iterations.empty());
    EXPECT_EQ(log.iterations.front(), 1);
    EXPECT_EQ(log.iterations.back(), used);
    for (std::size_t k = 1; k < log.iterations.size(); ++k)
        EXPECT_GT(log.iterations[k], log.iterations[k - 1]);
    for (double r : log.residuals)
        EXPECT_TRUE(std::isfinite(r) && r >= 0.0) << r;
    EXPECT_LT(log.residuals.back(), log.residuals.front());
}

TEST_P(Progress, CallbackStopsTheSolveWhichFailsHonestly) {
    const Problem p = assemble_case();
    Log log;
    log.stop_at = 3;
    qvSetProgressCallback(record, &log);
    EXPECT_FALSE(qvSolve());
    EXPECT_EQ(qvGetError(), QV_ERROR_INTERRUPTED);
    EXPECT_EQ(qvGetParameteri(QV_USED_ITERATIONS), 3);
    EXPECT_EQ(log.iterations.back(), 3);
    const double actual = true_residual(p);
    EXPECT_TRUE(std::isfinite(actual));  // the last iterate, not garbage
    EXPECT_GT(actual, 1e-9);
    EXPECT_NEAR(qvGetParameterd(QV_RESIDUAL), actual, 1e-6 * actual);

    qvSetProgressCallback(nullptr, &log);  // removed: the same system now solves
    log.iterations.clear();
    ASSERT_TRUE(qvSolve()) << qvErrorString(qvGetError());
    EXPECT_TRUE(log.iterations.empty());
    EXPECT_LE(true_residual(p), 1e-9 * 1.01);
}

INSTANTIATE_TEST_SUITE_P(Methods, Progress,
                         ::testing::Values(Case{"Bicgstab", QV_METHOD_BICGSTAB, false},
                                           Case{"Gmres", QV_METHOD_GMRES, false},
                                           Case{"Cg", QV_METHOD_CG, false},
                                           Case{"LeastSquares", QV_METHOD_DEFAULT, true}),
                         case_name);

TEST(ProgressMisuse, SettingItNeedsAContextOutsideBlocks) {
    qvGetError();
    qvSetProgressCallback(record, nullptr);
    EXPECT_EQ(qvGetError(), QV_ERROR_NO_CONTEXT);
    qvNewContext();
    qvSolverParameteri(QV_PARAM_VARIABLE_COUNT, 2);
    qvBegin(QV_BLOCK_SYSTEM);
    qvSetProgressCallback(record, nullptr);
    EXPECT_EQ(qvGetError(), QV_ERROR_BLOCK_ORDER);
    qvDeleteContext(qvGetCurrent());
    EXPECT_STREQ(qvErrorString(QV_ERROR_INTERRUPTED), "the progress callback stopped the solve");
}

}  // namespace
