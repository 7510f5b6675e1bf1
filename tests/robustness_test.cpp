// Hostile and unlucky use: callbacks that call back in, numbers that overflow
// on the way, extreme scales, failed solves, long rows and memory running out.
// A solve may fail, but it never claims success with a wrong answer.
#include "test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>

using namespace testing_support;

namespace {

class Robustness : public LibraryTest {};

// A square system of one row per variable: coefficients as given, in order.
void assemble_rows(const std::vector<std::vector<std::pair<int, double>>> &rows,
                   const std::vector<double> &rhs, QVint method = QV_METHOD_DEFAULT,
                   bool least_squares = false, int variables = 0,
                   const std::vector<std::pair<int, double>> &locked = {}) {
    qvNewContext();
    qvSolverParameteri(QV_PARAM_VARIABLE_COUNT,
                       variables > 0 ? variables : static_cast<QVint>(rows.size()));
    qvSolverParameteri(QV_PARAM_LEAST_SQUARES, least_squares ? 1 : 0);
    qvSolverParameteri(QV_PARAM_SOLVER, method);
    qvBegin(QV_BLOCK_SYSTEM);
    for (const auto &[index, value] : locked) {
        qvLockVariable(index);
        qvSetVariable(index, value);
    }
    qvBegin(QV_BLOCK_MATRIX);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        qvBegin(QV_BLOCK_ROW);
        for (const auto &[col, value] : rows[i])
            qvCoefficient(col, value);
        qvRightHandSide(rhs[i]);
        qvEnd(QV_BLOCK_ROW);
    }
    qvEnd(QV_BLOCK_MATRIX);
    qvEnd(QV_BLOCK_SYSTEM);
}

// What a callback does to the library when it is called for iteration 2.
struct Reentry {
    std::function<void()> action;
    QVint error = QV_OK;  // the error the action recorded
    bool acted = false;
};

QVbool reenter(QVint iteration, QVdouble, void *user) {
    auto *r = static_cast<Reentry *>(user);
    if (iteration == 2 && !r->acted) {
        qvGetError();
        r->action();
        r->error = qvGetError();
        r->acted = true;
    }
    return 0;
}

TEST_F(Robustness, ACallbackMayReadButNotChangeTheContextBeingSolved) {
    const Problem p = poisson(17);  // 289 unknowns, tridiagonal blocks
    const std::vector<std::pair<const char *, std::function<void()>>> changes = {
        {"delete", [] { qvDeleteContext(qvGetCurrent()); }},
        {"begin a system", [] { qvBegin(QV_BLOCK_SYSTEM); }},
        {"least squares", [] { qvSolverParameteri(QV_PARAM_LEAST_SQUARES, 1); }},
        {"variable count", [] { qvSolverParameteri(QV_PARAM_VARIABLE_COUNT, 1); }},
        {"threshold", [] { qvSolverParameterd(QV_PARAM_THRESHOLD, 0.5); }},
        {"set a variable", [] { qvSetVariable(0, 1.0); }},
        {"set all variables", [] { qvSetVariables(289, std::vector<double>(289).data()); }},
        {"set a right-hand side", [] { qvSetRightHandSide(0, 1.0); }},
        {"set all right-hand sides",
         [] { qvSetRightHandSides(289, std::vector<double>(289).data()); }},
        {"systems", [] { qvSolverParameteri(QV_PARAM_SYSTEMS, 2); }},
        {"solve again", [] { qvSolve(); }},
        {"remove the callback", [] { qvSetProgressCallback(nullptr, nullptr); }},
    };
    for (QVint method : {QV_METHOD_BICGSTAB, QV_METHOD_GMRES, QV_METHOD_CG}) {
        for (const auto &[name, action] : changes) {
            SCOPED_TRACE(name);
            assemble(p, method, QV_PRECONDITIONER_JACOBI);
            Reentry r{action};
            qvSetProgressCallback(reenter, &r);
            ASSERT_TRUE(qvSolve()) << qvErrorString(qvGetError());
            EXPECT_TRUE(r.acted);
            EXPECT_EQ(r.error, QV_ERROR_BUSY);
            EXPECT_LE(relative_residual(p, read_variables(p.cols)), 1e-10);
            EXPECT_EQ(qvGetParameteri(QV_PARAM_VARIABLE_COUNT), p.cols);
            qvDeleteContext(qvGetCurrent());
        }
    }
    // Reading is allowed, and so is using another context, solve included.
    assemble(p, QV_METHOD_CG, QV_PRECONDITIONER_JACOBI);
    QVcontext outer = qvGetCurrent();
    double inner_x = 0.0;
    Reentry r{[&] {
        EXPECT_EQ(qvGetParameteri(QV_PARAM_VARIABLE_COUNT), p.cols);
        qvGetVariable(0);
        assemble_rows({{{0, 2.0}}}, {3.0});
        EXPECT_TRUE(qvSolve());
        inner_x = qvGetVariable(0);
        qvDeleteContext(qvGetCurrent());
        qvMakeCurrent(outer);
    }};
    qvSetProgressCallback(reenter, &r);
    ASSERT_TRUE(qvSolve());
    EXPECT_EQ(r.error, QV_OK);
    EXPECT_EQ(inner_x, 1.5);
    EXPECT_LE(relative_residual(p, read_variables(p.cols)), 1e-10);
}

TEST_F(Robustness, NonFiniteSystemsAreRefusedNeverSolved) {
    const QVint methods[] = {QV_METHOD_BICGSTAB, QV_METHOD_GMRES, QV_METHOD_CG, QV_METHOD_CHOLMOD};
    qvInitExtension("CHOLMOD");
    qvGetError();
    for (QVint method : methods) {
        SCOPED_TRACE(method);
        // Repeated entries that add up to infinity, on one variable and on a
        // diagonal.
        assemble_rows({{{0, 1e308}, {0, 1e308}}}, {1.0}, method);
        EXPECT_FALSE(qvSolve());
        EXPECT_EQ(qvGetError(), QV_ERROR_NOT_FINITE);
        EXPECT_EQ(qvGetVariable(0), 0.0);
        assemble_rows({{{0, 1e308}, {0, 1e308}}, {{1, 1.0}}, {{2, 1.0}}}, {1.0, 1.0, 1.0}, method);
        EXPECT_FALSE(qvSolve());
        EXPECT_EQ(qvGetError(), QV_ERROR_NOT_FINITE);
    }
    // Locked values whose terms overflow the right-hand side.
    for (bool least_squares : {false, true}) {
        assemble_rows({{{0, 1.0}, {1, 1e10}, {2, -1e10}}}, {1.0}, QV_METHOD_DEFAULT, least_squares,
                      3, {{1, 1e300}, {2, 1e300}});
        EXPECT_FALSE(qvSolve());
        EXPECT_EQ(qvGetError(), QV_ERROR_NOT_FINITE);
        EXPECT_EQ(qvGetVariable(0), 0.0);
        EXPECT_EQ(qvGetVariable(1), 1e300);
    }
}

TEST_F(Robustness, HugeButFiniteEntriesAreSolvedOrHonestlyRefused) {
    for (QVint method : {QV_METHOD_BICGSTAB, QV_METHOD_GMRES, QV_METHOD_CG}) {
        for (bool least_squares : {false, true}) {
            SCOPED_TRACE(method + (least_squares ? 1000 : 0));
            assemble_rows({{{0, 1e308}, {1, 1e307}}, {{0, 1e307}, {1, 1e308}}, {{2, 1e308}}},
                          {1e308, 1e308, 1e308}, method, least_squares);
            if (qvSolve()) {
                EXPECT_NEAR(qvGetVariable(0), 1.0 / 1.1, 1e-9);
                EXPECT_NEAR(qvGetVariable(1), 1.0 / 1.1, 1e-9);
                EXPECT_NEAR(qvGetVariable(2), 1.0, 1e-9);
            } else {
                EXPECT_NE(qvGetError(), QV_OK);
            }
        }
    }
}

// A well-conditioned system scaled alike as a whole, from 1e-300 to 1e300:
// every method with every preconditioner solves it, where squaring the
// residual's entries would overflow or underflow.
TEST_F(Robustness, SquareSystemsAreSolvedFromTinyToHugeScales) {
    const int n = 30;
    for (double scale : {1e-300, 1e-250, 1e250, 1e300}) {
        std::vector<std::vector<std::pair<int, double>>> rows(n);
        std::vector<double> rhs(n);
        for (int i = 0; i < n; ++i) {
            for (int j : {i - 1, i, i + 1})
                if (j >= 0 && j < n) {
                    const double a = (i == j ? 4.0 : -1.0) * scale;
                    rows[static_cast<std::size_t>(i)].push_back({j, a});
                    rhs[static_cast<std::size_t>(i)] += a;  // x = 1
                }
        }
        for (QVint method : {QV_METHOD_BICGSTAB, QV_METHOD_GMRES, QV_METHOD_CG})
            for (QVint preconditioner :
                 {QV_PRECONDITIONER_JACOBI, QV_PRECONDITIONER_SSOR, QV_PRECONDITIONER_NONE,
                  QV_PRECONDITIONER_ILU0, QV_PRECONDITIONER_IC0, QV_PRECONDITIONER_AMG,
                  QV_PRECONDITIONER_ILUT}) {
                SCOPED_TRACE(testing::Message() << scale << " " << method << " " << preconditioner);
                assemble_rows(rows, rhs, method);
                qvSolverParameteri(QV_PARAM_PRECONDITIONER, preconditioner);
                ASSERT_TRUE(qvSolve()) << qvErrorString(qvGetError());
                for (int j = 0; j < n; ++j)
                    EXPECT_NEAR(qvGetVariable(j), 1.0, 1e-8);
                qvDeleteContext(qvGetCurrent());
            }
    }
}

TEST_F(Robustness, LeastSquaresIsRightFromTinyToHugeScales) {
    for (double scale : {1e-300, 1e-200, 1e-170, 1.0, 1e200, 1e300}) {
        SCOPED_TRACE(scale);
        assemble_rows({{{0, scale}}}, {scale}, QV_METHOD_DEFAULT, true);
        ASSERT_TRUE(qvSolve()) << qvErrorString(qvGetError());
        EXPECT_NEAR(qvGetVariable(0), 1.0, 1e-12);
        // A line fit whose rows are all scaled alike has the same answer.
        assemble_rows(
            {{{0, scale}, {1, scale}}, {{0, scale}, {1, 2 * scale}}, {{0, scale}, {1, 3 * scale}}},
            {scale, 2 * scale, 2 * scale}, QV_METHOD_DEFAULT, true, 2);
        ASSERT_TRUE(qvSolve()) << qvErrorString(qvGetError());
        EXPECT_NEAR(qvGetVariable(0), 2.0 / 3.0, 1e-9);
        EXPECT_NEAR(qvGetVariable(1), 0.5, 1e-9);
    }
    // An answer below the smallest double cannot be written: no success.
    for (bool least_squares : {false, true}) {
        assemble_rows({{{0, 1e300}}}, {1e-300}, QV_METHOD_DEFAULT, least_squares);
        EXPECT_FALSE(qvSolve());
        EXPECT_EQ(qvGetVariable(0), 0.0);
    }
    // Columns of wildly different sizes in one matrix: the tiny one is still
    // solved for, though the residual measure hardly sees it.
    assemble_rows({{{0, 1e-250}}, {{0, 2e-250}}, {{1, 1.0}}, {{1, 2.0}}},
                  {1e-250, 2e-250, 1.0, 2.0}, QV_METHOD_DEFAULT, true, 2);
    ASSERT_TRUE(qvSolve()) << qvErrorString(qvGetError());
    EXPECT_NEAR(qvGetVariable(0), 1.0, 1e-9);
    EXPECT_NEAR(qvGetVariable(1), 1.0, 1e-9);
}

TEST_F(Robustness, AFailedSolveKeepsTheBetterAnswerAndReportsItsResidual) {
    // CG on a strongly nonsymmetric system wanders off; the initial guess is
    // better, and the residual read back is that of the variables kept.
    const Problem p = convection_diffusion(20, 0.45);
    for (QVint method : {QV_METHOD_CG, QV_METHOD_BICGSTAB, QV_METHOD_GMRES}) {
        SCOPED_TRACE(method);
        assemble(p, method, QV_PRECONDITIONER_SSOR);
        qvSolverParameteri(QV_PARAM_MAX_ITERATIONS, method == QV_METHOD_CG ? 300 : 3);
        EXPECT_FALSE(qvSolve());
        EXPECT_NE(qvGetError(), QV_OK);
        const std::vector<double> x = read_variables(p.cols);
        const double reported = qvGetParameterd(QV_RESIDUAL);
        EXPECT_GT(reported, 0.0);
        EXPECT_NEAR(reported, relative_residual(p, x), 1e-9 * reported);
        EXPECT_LE(reported, 1.0 + 1e-12);  // never worse than the zero initial guess
    }
}

TEST_F(Robustness, LongRowsInAnyOrderAssemble) {
    // x_0 + 1e-6 (x_1 + ... + x_n-1) = b_0 and x_i = 1: one long row, given
    // in descending order with every coefficient split in two halves, which
    // must sort in n log n and add up.
    const int n = 200000;
    qvNewContext();
    qvSolverParameteri(QV_PARAM_VARIABLE_COUNT, n);
    qvBegin(QV_BLOCK_SYSTEM);
    qvBegin(QV_BLOCK_MATRIX);
    qvBegin(QV_BLOCK_ROW);
    for (int half = 0; half < 2; ++half)
        for (int j = n - 1; j >= 0; --j)
            qvCoefficient(j, j == 0 ? 0.5 : 0.5e-6);
    qvRightHandSide(1.0 + 1e-6 * (n - 1));
    qvEnd(QV_BLOCK_ROW);
    for (int i = 1; i < n; ++i) {
        qvBegin(QV_BLOCK_ROW);
        qvCoefficient(i, 1.0);
        qvRightHandSide(1.0);
        qvEnd(QV_BLOCK_ROW);
    }
    qvEnd(QV_BLOCK_MATRIX);
    qvEnd(QV_BLOCK_SYSTEM);
    ASSERT_EQ(qvGetError(), QV_OK);
    ASSERT_TRUE(qvSolve()) << qvErrorString(qvGetError());
    EXPECT_NEAR(qvGetVariable(0), 1.0, 1e-9);
    EXPECT_NEAR(qvGetVariable(n - 1), 1.0, 1e-9);

    // Rows as long as the variable count must not exhaust a room estimated
    // from them: memory grows from what is stored.
    const int m = 300000;
    qvNewContext();
    qvSolverParameteri(QV_PARAM_VARIABLE_COUNT, m);
    qvSolverParameteri(QV_PARAM_LEAST_SQUARES, 1);
    qvBegin(QV_BLOCK_SYSTEM);
    qvBegin(QV_BLOCK_MATRIX);
    for (int row = 0; row < 12; ++row) {
        qvBegin(QV_BLOCK_ROW);
        for (int j = 0; j < m; ++j)
            qvCoefficient(j, 1.0);
        qvEnd(QV_BLOCK_ROW);
    }
    qvEnd(QV_BLOCK_MATRIX);
    EXPECT_EQ(qvGetError(), QV_OK);
}

#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__)
TEST_F(Robustness, MemoryRunningOutIsAnErrorNeverAnAbort) {
    // Forming the normal matrix of many rows that share a column takes much
    // memory inside the threaded product; at every limit the solve succeeds
    // or fails with QV_ERROR_OUT_OF_MEMORY, and the process goes on.
    const int n = 8192, rows = 2000000;
    qvNewContext();
    qvSolverParameteri(QV_PARAM_VARIABLE_COUNT, n);
    qvSolverParameteri(QV_PARAM_LEAST_SQUARES, 1);
    qvBegin(QV_BLOCK_SYSTEM);
    qvBegin(QV_BLOCK_MATRIX);
    for (int i = 0; i < rows; ++i) {
        qvBegin(QV_BLOCK_ROW);
        qvCoefficient(0, 1.0);
        qvCoefficient(1 + i % (n - 1), 1.0);
        qvRightHandSide(1.0);
        qvEnd(QV_BLOCK_ROW);
    }
    qvEnd(QV_BLOCK_MATRIX);
    qvEnd(QV_BLOCK_SYSTEM);
    ASSERT_EQ(qvGetError(), QV_OK);
    for (std::size_t extra_mb : {16u, 64u, 110u, 160u, 400u}) {
        SCOPED_TRACE(extra_mb);
        bool solved = false;
        if (!with_memory_limit(extra_mb << 20, [&] { solved = qvSolve(); }))
            GTEST_SKIP() << "the address space cannot be limited here";
        const QVint error = qvGetError();
        EXPECT_TRUE(solved ? error == QV_OK : error == QV_ERROR_OUT_OF_MEMORY) << error;
    }
    // Every call fails cleanly when nothing more can be had.
    QVcontext ctx = qvGetCurrent();
    with_memory_limit(1u << 20, [&] {
        std::vector<void *> hog;
        while (void *block = std::malloc(1u << 16))
            hog.push_back(block);
        qvSolverParameteri(QV_PARAM_LEAST_SQUARES, 0);
        qvBegin(QV_BLOCK_SYSTEM);
        qvBegin(QV_BLOCK_MATRIX);
        qvNewContext();
        for (void *block : hog)
            std::free(block);
    });
    qvGetError();
    qvMakeCurrent(ctx);
    EXPECT_EQ(qvGetParameteri(QV_PARAM_VARIABLE_COUNT), n);  // the context stayed usable
    EXPECT_EQ(qvGetError(), QV_OK);
}
#endif

}  // namespace
