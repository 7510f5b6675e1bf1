// Least squares, with and without locked variables, against a dense reference.
#include "test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

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

// Five entries a row in random columns: A'A would hold about 25 entries a
// row, so LSMR and CGLS run without forming it.
Problem five_a_row(int rows, int cols, double scale = 1.0) {
    Problem p;
    p.rows = rows;
    p.cols = cols;
    unsigned state = 777u;
    auto next = [&state]() {
        state = state * 1103515245u + 12345u;
        return (state >> 8) & 0xffffu;
    };
    for (int i = 0; i < rows; ++i) {
        for (int k = 0; k < 5; ++k)  // columns i, i+7, ... keep every column in use
            p.entries.push_back({i, (i + 7 * k) % cols, scale * ((next() % 200) / 100.0 - 1.0)});
        p.rhs.push_back(scale * ((next() % 1000) / 100.0 - 5.0));
    }
    return p;
}

void expect_near_all(const std::vector<double> &x, const std::vector<double> &reference,
                     double tolerance) {
    for (std::size_t j = 0; j < x.size(); ++j)
        EXPECT_NEAR(x[j], reference[j], tolerance) << "variable " << j;
}

// ||A'(b - Ax)|| / ||A'c|| over the unlocked columns, c = b less the locked
// variables' terms, in long double.
double unlocked_normal_residual(const Problem &p, const std::vector<double> &x,
                                const std::vector<std::pair<int, double>> &locks) {
    std::vector<bool> locked(static_cast<std::size_t>(p.cols), false);
    for (const auto &lock : locks)
        locked[static_cast<std::size_t>(lock.first)] = true;
    std::vector<long double> r(p.rhs.begin(), p.rhs.end()), c = r;
    for (const Entry &e : p.entries) {
        const auto i = static_cast<std::size_t>(e.row), j = static_cast<std::size_t>(e.col);
        r[i] -= static_cast<long double>(e.value) * x[j];
        if (locked[j])
            c[i] -= static_cast<long double>(e.value) * x[j];
    }
    std::vector<long double> g(static_cast<std::size_t>(p.cols)), h = g;
    for (const Entry &e : p.entries) {
        const auto i = static_cast<std::size_t>(e.row), j = static_cast<std::size_t>(e.col);
        g[j] += e.value * r[i];
        h[j] += e.value * c[i];
    }
    long double num = 0, den = 0;
    for (std::size_t j = 0; j < g.size(); ++j)
        if (!locked[j]) {
            num += g[j] * g[j];
            den += h[j] * h[j];
        }
    return static_cast<double>(std::sqrt(num / den));
}

TEST_F(LeastSquares, LsmrAndCglsMatchTheReferenceWithEachPreconditionerAndLocks) {
    const Problem p = five_a_row(300, 40);
    const std::vector<std::vector<std::pair<int, double>>> lock_sets = {{},
                                                                        {{3, 1.5}, {17, -0.25}}};
    for (const auto &locks : lock_sets) {
        const std::vector<double> reference = dense_least_squares(p, locks);
        for (QVint method : {QV_METHOD_DEFAULT, QV_METHOD_CG})
            for (QVint pre :
                 {QV_PRECONDITIONER_JACOBI, QV_PRECONDITIONER_SSOR, QV_PRECONDITIONER_NONE}) {
                SCOPED_TRACE(testing::Message() << method << " " << pre << " " << locks.size());
                assemble(p, method, pre, true, locks);
                ASSERT_TRUE(qvSolve()) << qvErrorString(qvGetError());
                const std::vector<double> x = read_variables(p.cols);
                expect_near_all(x, reference, 1e-7);
                const double measure = unlocked_normal_residual(p, x, locks);
                EXPECT_NEAR(qvGetParameterd(QV_RESIDUAL), measure, 1e-4 * measure);
                qvDeleteContext(qvGetCurrent());
            }
    }
}

// Columns enough (270,000) that a sweep over A takes its products and its
// scatters in separate passes, five entries a row in random columns: LSMR
// and CGLS meet the threshold by the independent residual, and give the
// same answer to the bit on one thread and on two.
TEST_F(LeastSquares, WideRandomProblemsSolveAlikeOnAnyTeam) {
    Problem p;
    p.cols = 270000;
    p.rows = 2 * p.cols;
    std::uint64_t state = 7;
    auto next = [&state]() {  // a 64-bit linear congruential stream, its high bits
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return state >> 33;
    };
    for (int i = 0; i < p.rows; ++i) {
        for (int k = 0; k < 5; ++k)
            p.entries.push_back({i, static_cast<int>(next() % 270000u),
                                 static_cast<double>(next() % 2000u) / 1000.0 - 1.0});
        p.rhs.push_back(static_cast<double>(next() % 2000u) / 1000.0 - 1.0);
    }
    for (QVint method : {QV_METHOD_DEFAULT, QV_METHOD_CG}) {
        std::vector<double> one;
        for (QVint threads : {1, 2}) {
            SCOPED_TRACE(testing::Message() << method << " on " << threads);
            assemble(p, method, QV_PRECONDITIONER_JACOBI, true);
            qvSolverParameteri(QV_PARAM_THREADS, threads);
            qvSolverParameterd(QV_PARAM_THRESHOLD, 1e-6);
            ASSERT_TRUE(qvSolve()) << qvErrorString(qvGetError());
            const std::vector<double> x = read_variables(p.cols);
            qvDeleteContext(qvGetCurrent());
            EXPECT_LE(normal_residual(p, x), 1e-6 * 1.01);
            if (threads == 1)
                one = x;
            else
                EXPECT_EQ(x, one);
        }
    }
}

// Column 9 repeats column 4 and column 11 is empty: A'A is singular. From a
// zero initial guess the answer has no part in the null space: the repeated
// columns share their weight equally and the empty column's variable stays 0
// (the minimum-norm solution without preconditioning and with Jacobi, whose
// scaling treats the equal columns alike).
TEST_F(LeastSquares, RankDeficientAndEmptyColumnsGiveTheMinimumNormAnswer) {
    Problem p = five_a_row(200, 20);
    Problem reduced = p;  // the same without columns 9 and 11
    p.entries.clear();
    reduced.entries.clear();
    for (const Entry &e : five_a_row(200, 20).entries) {
        if (e.col == 11 || e.col == 9)
            continue;
        reduced.entries.push_back(e);
        p.entries.push_back(e);
        if (e.col == 4)
            p.entries.push_back({e.row, 9, e.value});
    }
    const std::vector<double> reference = dense_least_squares(reduced, {{9, 0.0}, {11, 0.0}});
    for (QVint method : {QV_METHOD_DEFAULT, QV_METHOD_CG})
        for (QVint pre : {QV_PRECONDITIONER_JACOBI, QV_PRECONDITIONER_NONE}) {
            SCOPED_TRACE(testing::Message() << method << " " << pre);
            assemble(p, method, pre, true);
            ASSERT_TRUE(qvSolve()) << qvErrorString(qvGetError());
            std::vector<double> x = read_variables(p.cols);
            EXPECT_NEAR(x[4], x[9], 1e-7);
            EXPECT_EQ(x[11], 0.0);
            x[4] += x[9];  // the weight the reduced problem gives column 4
            x[9] = 0.0;
            expect_near_all(x, reference, 1e-7);
            qvDeleteContext(qvGetCurrent());
        }
}

TEST_F(LeastSquares, LsmrAndCglsAreRightFromTinyToHugeScales) {
    const std::vector<double> reference = dense_least_squares(five_a_row(300, 40), {});
    for (double scale : {1e-300, 1e300})
        for (QVint method : {QV_METHOD_DEFAULT, QV_METHOD_CG}) {
            SCOPED_TRACE(testing::Message() << scale << " " << method);
            assemble(five_a_row(300, 40, scale), method, QV_PRECONDITIONER_JACOBI, true);
            ASSERT_TRUE(qvSolve()) << qvErrorString(qvGetError());
            expect_near_all(read_variables(40), reference, 1e-7);
            qvDeleteContext(qvGetCurrent());
        }
}

TEST_F(LeastSquares, AGuessExactOnlyInDoublePrecisionIsRefused) {
    // Rows whose first two terms nearly annihilate the guess x, plus three
    // columns of their own each (long rows: A'A is not formed): computed in
    // double precision, b - Ax is exactly 0 in every row, yet the exact
    // measure ||A'(b - Ax)|| / ||A'b|| is 2.5897 (worked out in rational
    // arithmetic). The solve starts from x and looks done at once; the
    // verdict must see through it.
    Problem p;
    p.rows = 3;
    p.cols = 11;
    const double first[3][2] = {{0.1, 0.3}, {0.3, 0.9}, {0.7, 2.1}};
    for (int i = 0; i < 3; ++i) {
        p.entries.push_back({i, 0, first[i][0]});
        p.entries.push_back({i, 1, first[i][1]});
        for (int k = 2; k < 5; ++k)
            p.entries.push_back({i, 3 * i + k, 1.0});
    }
    p.rhs = {0.5, 0.0, 0.0};
    for (QVint method : {QV_METHOD_DEFAULT, QV_METHOD_CG}) {
        SCOPED_TRACE(method);
        assemble(p, method, QV_PRECONDITIONER_JACOBI, true);
        qvSetVariable(0, 30000000000000788.0);
        qvSetVariable(1, -10000000000000262.0);
        EXPECT_FALSE(qvSolve());
        EXPECT_EQ(qvGetError(), QV_ERROR_STAGNATED);       // no limit was reached
        EXPECT_EQ(qvGetVariable(0), 30000000000000788.0);  // the guess, kept
        EXPECT_NEAR(qvGetParameterd(QV_RESIDUAL), 2.5897, 0.01);
        qvDeleteContext(qvGetCurrent());
    }
}

TEST_F(LeastSquares, AMeasureThatOverflowsInDoublePrecisionIsNeverTakenAsSmall) {
    // Near the top of the range: the answer's terms in the second row pass
    // the largest double, so the verdict's sums in double precision hold
    // NaN, which must not vanish from a norm. In extended precision the
    // measure of the double-precision answer is near 1e292.
    Problem p;
    p.rows = 2;
    p.cols = 3;
    p.entries = {{0, 1, -0.6875},
                 {0, 2, 5.3707570159154651e98},
                 {1, 0, 1.2050781250000001e308},
                 {1, 1, -3.75},
                 {1, 2, 1.0433015904097705e-306}};
    p.rhs = {1.1953125e308, 0.0};
    assemble(p, QV_METHOD_DEFAULT, QV_PRECONDITIONER_JACOBI, true, {{2, -3.75}});
    EXPECT_FALSE(qvSolve());
    EXPECT_EQ(qvGetError(), QV_ERROR_STAGNATED);
    EXPECT_GE(qvGetParameterd(QV_RESIDUAL), 1.0);
}

TEST_F(LeastSquares, AnUnfinishedSolveFailsAndKeepsTheBetterAnswer) {
    const Problem p = five_a_row(300, 40);
    for (QVint method : {QV_METHOD_DEFAULT, QV_METHOD_CG}) {
        assemble(p, method, QV_PRECONDITIONER_JACOBI, true);
        qvSolverParameteri(QV_PARAM_MAX_ITERATIONS, 3);
        EXPECT_FALSE(qvSolve());
        EXPECT_EQ(qvGetError(), QV_ERROR_NOT_CONVERGED);
        const double actual = normal_residual(p, read_variables(p.cols));
        EXPECT_LT(actual, 1.0);  // better than the zero initial guess
        EXPECT_NEAR(qvGetParameterd(QV_RESIDUAL), actual, 1e-12);
        qvDeleteContext(qvGetCurrent());
    }
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
