// Least squares, with and without locked variables, against a dense reference.
#include "test_support.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace testing_support;

namespace {

class LeastSquares : public LibraryTest {};

Problem line_fit() {
    const double xs[] = {1, 2, 3, 4, 5, 6, 7};
    const double ys[] = {3.5, 3.8, 5.5, 5.4, 6.3, 8.2, 9.5};
    Problem p;
    p.rows = 7;
    p.cols = 2;
    for (int i = 0; i < 7; ++i) {
        p.entries.push_back({i, 0, xs[i]});
        p.entries.push_back({i, 1, 1.0});
        p.rhs.push_back(ys[i]);
    }
    return p;
}

// A sparse overdetermined problem: each row touches a few columns.
Problem sparse_overdetermined(int rows, int cols) {
    Problem p;
    p.rows = rows;
    p.cols = cols;
    const unsigned ucols = static_cast<unsigned>(cols);
    unsigned state = 12345u;
    auto next = [&state]() {
        state = state * 1103515245u + 12345u;
        return (state >> 8) & 0xffffu;
    };
    for (int i = 0; i < rows; ++i) {
        p.entries.push_back({i, i % cols, 2.0 + (next() % 100) / 50.0});
        p.entries.push_back({i, static_cast<int>(next() % ucols), (next() % 200) / 100.0 - 1.0});
        p.entries.push_back({i, static_cast<int>(next() % ucols), (next() % 200) / 100.0 - 1.0});
        p.rhs.push_back((next() % 1000) / 100.0 - 5.0);
    }
    return p;
}

TEST_F(LeastSquares, FitsTheLineWithEachPreconditioner) {
    for (QVint pre : {QV_PRECONDITIONER_JACOBI, QV_PRECONDITIONER_SSOR}) {
        assemble(line_fit(), QV_METHOD_DEFAULT, pre, true);
        ASSERT_TRUE(qvSolve()) << qvErrorString(qvGetError());
        EXPECT_NEAR(qvGetVariable(0), 69.0 / 70.0, 1e-10);
        EXPECT_NEAR(qvGetVariable(1), 73.0 / 35.0, 1e-10);
        qvDeleteContext(qvGetCurrent());
    }
}

TEST_F(LeastSquares, FitsTheLineThroughTheOrigin) {
    for (QVint pre : {QV_PRECONDITIONER_JACOBI, QV_PRECONDITIONER_SSOR}) {
        assemble(line_fit(), QV_METHOD_DEFAULT, pre, true, {{1, 0.0}});
        ASSERT_TRUE(qvSolve()) << qvErrorString(qvGetError());
        EXPECT_NEAR(qvGetVariable(0), 491.0 / 350.0, 1e-10);
        EXPECT_EQ(qvGetVariable(1), 0.0);
        qvDeleteContext(qvGetCurrent());
    }
}

TEST_F(LeastSquares, MatchesTheDenseReferenceWithAndWithoutLocks) {
    const Problem p = sparse_overdetermined(600, 40);
    const std::vector<std::vector<std::pair<int, double>>> lock_sets = {{},
                                                                        {{3, 1.5}, {17, -0.25}}};
    for (const auto &locks : lock_sets) {
        for (QVint method :
             {QV_METHOD_DEFAULT, QV_METHOD_CG, QV_METHOD_GMRES, QV_METHOD_BICGSTAB}) {
            assemble(p, method, QV_PRECONDITIONER_JACOBI, true, locks);
            ASSERT_TRUE(qvSolve()) << qvErrorString(qvGetError());
            const std::vector<double> x = read_variables(p.cols);
            const std::vector<double> reference = dense_least_squares(p, locks);
            for (std::size_t j = 0; j < x.size(); ++j)
                EXPECT_NEAR(x[j], reference[j], 1e-7) << "variable " << j;
            for (const auto &lock : locks)
                EXPECT_EQ(x[static_cast<std::size_t>(lock.first)], lock.second);
            qvDeleteContext(qvGetCurrent());
        }
    }
}

TEST_F(LeastSquares, ReportsTheNormalEquationResidual) {
    const Problem p = sparse_overdetermined(300, 30);
    assemble(p, QV_METHOD_DEFAULT, QV_PRECONDITIONER_SSOR, true);
    ASSERT_TRUE(qvSolve());
    const double actual = normal_residual(p, read_variables(p.cols));
    EXPECT_LE(actual, 1e-10);
    EXPECT_NEAR(qvGetParameterd(QV_RESIDUAL), actual, 1e-12);
}

TEST_F(LeastSquares, LockedVariablesInASquareSystemMoveToTheRightHandSide) {
    // x0 + x1 + x2 = 6, x0 - x1 = -1, x2 locked at 3: x0 = 1, x1 = 2.
    Problem p;
    p.rows = 2;
    p.cols = 3;
    p.entries = {{0, 0, 1.0}, {0, 1, 1.0}, {0, 2, 1.0}, {1, 0, 1.0}, {1, 1, -1.0}};
    p.rhs = {6.0, -1.0};
    assemble(p, QV_METHOD_BICGSTAB, QV_PRECONDITIONER_JACOBI, false, {{2, 3.0}});
    ASSERT_TRUE(qvSolve()) << qvErrorString(qvGetError());
    EXPECT_NEAR(qvGetVariable(0), 1.0, 1e-12);
    EXPECT_NEAR(qvGetVariable(1), 2.0, 1e-12);
    EXPECT_EQ(qvGetVariable(2), 3.0);
}

}  // namespace
