// The thread count: its parameter, and answers that do not depend on it.
#include "test_support.h"

#include <gtest/gtest.h>

#include <vector>

using namespace testing_support;

namespace {

class Threads : public ::testing::Test {
  protected:
    void SetUp() override { qvGetError(); }
    void TearDown() override { release_contexts(); }
};

struct Answer {
    bool solved = false;
    int iterations = 0;
    double reported = 0.0;
    std::vector<double> x;
};

// Solves p on the given number of threads and returns everything it gave.
Answer solve_on(const Problem &p, QVint method, QVint threads, bool least_squares = false) {
    assemble(p, method, QV_PRECONDITIONER_JACOBI, least_squares);
    qvSolverParameteri(QV_PARAM_THREADS, threads);
    qvSolverParameterd(QV_PARAM_THRESHOLD, 1e-9);
    Answer a;
    a.solved = qvSolve() != 0;
    a.iterations = qvGetParameteri(QV_USED_ITERATIONS);
    a.reported = qvGetParameterd(QV_RESIDUAL);
    a.x = read_variables(p.cols);
    qvDeleteContext(qvGetCurrent());
    return a;
}

TEST_F(Threads, ParameterDefaultsToTheProcessorsAndReadsBack) {
    qvNewContext();
    const QVint processors = qvGetParameteri(QV_PARAM_THREADS);
    EXPECT_GE(processors, 1);
    qvSolverParameteri(QV_PARAM_THREADS, 3);
    EXPECT_EQ(qvGetParameteri(QV_PARAM_THREADS), 3);
    qvSolverParameteri(QV_PARAM_THREADS, -1);
    EXPECT_EQ(qvGetError(), QV_ERROR_INVALID_VALUE);
    qvSolverParameteri(QV_PARAM_THREADS, QV_MAX_THREADS + 1);
    EXPECT_EQ(qvGetError(), QV_ERROR_INVALID_VALUE);
    EXPECT_EQ(qvGetParameteri(QV_PARAM_THREADS), 3);  // refused values change nothing
    qvSolverParameteri(QV_PARAM_THREADS, 0);
    EXPECT_EQ(qvGetParameteri(QV_PARAM_THREADS), processors);
    qvSolverParameteri(QV_PARAM_VARIABLE_COUNT, 2);
    qvBegin(QV_BLOCK_SYSTEM);
    qvSolverParameteri(QV_PARAM_THREADS, 2);
    EXPECT_EQ(qvGetError(), QV_ERROR_BLOCK_ORDER);
    EXPECT_EQ(qvGetParameteri(QV_PARAM_THREADS), processors);
}

// Large enough that the kernels share the work: every method must give the
// same bits run after run, and whatever the thread count.
TEST_F(Threads, AnswersAreTheSameBitsOnAnyNumberOfThreads) {
    const Problem nonsymmetric = convection_diffusion(140, 0.1);  // 19,600 unknowns
    const Problem symmetric = poisson(140);
    const struct {
        QVint method;
        const Problem &p;
    } cases[] = {{QV_METHOD_BICGSTAB, nonsymmetric},
                 {QV_METHOD_GMRES, nonsymmetric},
                 {QV_METHOD_CG, symmetric}};
    for (const auto &c : cases) {
        const Answer first = solve_on(c.p, c.method, 2);
        ASSERT_TRUE(first.solved) << c.method;
        EXPECT_LE(relative_residual(c.p, first.x), 1e-9 * 1.01) << c.method;
        const Answer again = solve_on(c.p, c.method, 2);
        EXPECT_EQ(again.x, first.x) << c.method;
        EXPECT_EQ(again.iterations, first.iterations) << c.method;
        EXPECT_EQ(again.reported, first.reported) << c.method;
        for (QVint threads : {1, 3}) {
            const Answer other = solve_on(c.p, c.method, threads);
            ASSERT_TRUE(other.solved) << c.method << " on " << threads;
            EXPECT_LE(relative_residual(c.p, other.x), 1e-9 * 1.01) << c.method;
            EXPECT_EQ(other.x, first.x) << c.method << " on " << threads;
            EXPECT_EQ(other.iterations, first.iterations) << c.method << " on " << threads;
        }
    }
}

TEST_F(Threads, LeastSquaresAnswersDoNotDependOnThreads) {
    Problem p = poisson(130);  // 16,900 unknowns, and as many rows again below
    for (int j = 0; j < p.cols; ++j) {
        p.entries.push_back({p.rows + j, j, 1.0});  // x_j = 1 / (1 + j % 7), in the mean
        p.rhs.push_back(1.0 / (1 + j % 7));
    }
    p.rows *= 2;
    for (QVint method : {QV_METHOD_DEFAULT, QV_METHOD_CG}) {  // LSMR and CGLS, without A'A
        const Answer one = solve_on(p, method, 1, true);
        ASSERT_TRUE(one.solved) << method;
        EXPECT_LE(normal_residual(p, one.x), 1e-9 * 1.01) << method;
        for (QVint threads : {2, 3}) {
            const Answer other = solve_on(p, method, threads, true);
            EXPECT_EQ(other.x, one.x) << method << " on " << threads;
            EXPECT_EQ(other.iterations, one.iterations) << method << " on " << threads;
            EXPECT_EQ(other.reported, one.reported) << method << " on " << threads;
        }
    }
}

}  // namespace
