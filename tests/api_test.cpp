// Contexts, misuse, edge cases and failure paths of the public interface.
#include "error_list.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <set>
#include <string>

using namespace testing_support;

namespace {

const double NaN = std::numeric_limits<double>::quiet_NaN();
const double Inf = std::numeric_limits<double>::infinity();

class Api : public LibraryTest {};

// Assembles the 2x2 system [1 2; 3 4] x = [5 6] into the current context.
void assemble_two_by_two() {
    qvSolverParameteri(QV_PARAM_VARIABLE_COUNT, 2);
    qvBegin(QV_BLOCK_SYSTEM);
    qvBegin(QV_BLOCK_MATRIX);
    const double rows[2][3] = {{1, 2, 5}, {3, 4, 6}};
    for (const auto &row : rows) {
        qvBegin(QV_BLOCK_ROW);
        qvCoefficient(0, row[0]);
        qvCoefficient(1, row[1]);
        qvRightHandSide(row[2]);
        qvEnd(QV_BLOCK_ROW);
    }
    qvEnd(QV_BLOCK_MATRIX);
    qvEnd(QV_BLOCK_SYSTEM);
}

void expect_two_by_two_solved() {
    ASSERT_TRUE(qvSolve()) << qvErrorString(qvGetError());
    EXPECT_NEAR(qvGetVariable(0), -4.0, 1e-9);
    EXPECT_NEAR(qvGetVariable(1), 4.5, 1e-9);
    EXPECT_EQ(qvGetError(), QV_OK);
}

bool variables_finite(int count) {
    for (int i = 0; i < count; ++i)
        if (!std::isfinite(qvGetVariable(i)))
            return false;
    return true;
}

TEST_F(Api, ContextsAreCreatedMadeCurrentAndDeleted) {
    QVcontext first = qvNewContext();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(qvGetCurrent(), first);
    QVcontext second = qvNewContext();
    EXPECT_EQ(qvGetCurrent(), second);
    qvMakeCurrent(first);
    EXPECT_EQ(qvGetCurrent(), first);
    qvDeleteContext(second);
    EXPECT_EQ(qvGetCurrent(), first);
    qvDeleteContext(first);
    EXPECT_EQ(qvGetCurrent(), nullptr);
    EXPECT_EQ(qvGetError(), QV_OK);
}

TEST_F(Api, TheLibraryPrintsNothing) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    qvInitialize(0, nullptr);
    qvNewContext();
    assemble_two_by_two();
    qvSolve();
    qvCoefficient(7, 1.0);       // misuse
    qvInitExtension("SUPERLU");  // may well be absent
    qvDeleteContext(qvGetCurrent());
    qvDeleteContext(nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(Api, EveryErrorCodeHasItsOwnText) {
    std::set<std::string> texts;
#define BRISVEL_CHECK_TEXT(code, text)                                                             \
    EXPECT_STRNE(qvErrorString(code), "unknown error code") << #code;                              \
    EXPECT_TRUE(texts.insert(qvErrorString(code)).second) << #code " repeats a text";
    BRISVEL_ERRORS(BRISVEL_CHECK_TEXT)
#undef BRISVEL_CHECK_TEXT
    EXPECT_STREQ(qvErrorString(0x4ff), "unknown error code");
    EXPECT_STREQ(qvErrorString(-1), "unknown error code");
}

// Each misuse must record its code, change nothing, and leave a later
// correct sequence working.
struct Misuse {
    const char *name;
    std::function<void()> call;
    QVint expected;
};

TEST_F(Api, MisuseRecordsAnErrorAndLeavesTheContextUsable) {
    const Misuse cases[] = {
        {"coefficient outside a row", [] { qvCoefficient(0, 1.0); }, QV_ERROR_BLOCK_ORDER},
        {"right-hand side outside a row", [] { qvRightHandSide(1.0); }, QV_ERROR_BLOCK_ORDER},
        {"closing a block that is not open", [] { qvEnd(QV_BLOCK_ROW); }, QV_ERROR_BLOCK_ORDER},
        {"opening a row outside a matrix", [] { qvBegin(QV_BLOCK_ROW); }, QV_ERROR_BLOCK_ORDER},
        {"unknown block code", [] { qvBegin(7); }, QV_ERROR_INVALID_CODE},
        {"unknown parameter code", [] { qvSolverParameteri(0x1ff, 1); }, QV_ERROR_INVALID_CODE},
        {"unknown method", [] { qvSolverParameteri(QV_PARAM_SOLVER, 0x2ff); },
         QV_ERROR_INVALID_VALUE},
        {"unknown preconditioner", [] { qvSolverParameteri(QV_PARAM_PRECONDITIONER, 5); },
         QV_ERROR_INVALID_VALUE},
        {"zero variable count", [] { qvSolverParameteri(QV_PARAM_VARIABLE_COUNT, 0); },
         QV_ERROR_INVALID_VALUE},
        {"negative variable count", [] { qvSolverParameteri(QV_PARAM_VARIABLE_COUNT, -3); },
         QV_ERROR_INVALID_VALUE},
        {"absurd variable count", [] { qvSolverParameteri(QV_PARAM_VARIABLE_COUNT, 0x7fffffff); },
         QV_ERROR_INVALID_VALUE},
        {"threshold out of range", [] { qvSolverParameterd(QV_PARAM_THRESHOLD, -1.0); },
         QV_ERROR_INVALID_VALUE},
        {"NaN threshold", [] { qvSolverParameterd(QV_PARAM_THRESHOLD, NaN); },
         QV_ERROR_INVALID_VALUE},
        {"index out of range", [] { qvSetVariable(2, 1.0); }, QV_ERROR_INVALID_INDEX},
        {"negative index", [] { qvGetVariable(-1); }, QV_ERROR_INVALID_INDEX},
        {"infinite value", [] { qvSetVariable(0, Inf); }, QV_ERROR_NOT_FINITE},
        {"lock outside the system block", [] { qvLockVariable(0); }, QV_ERROR_BLOCK_ORDER},
        {"unknown result code", [] { qvGetParameterd(0x1ff); }, QV_ERROR_INVALID_CODE},
        {"deleting a handle never issued",
         [] {
             static double not_a_context = 0.0;
             qvDeleteContext(reinterpret_cast<QVcontext>(&not_a_context));
         },
         QV_ERROR_INVALID_HANDLE},
        {"deleting a null handle", [] { qvDeleteContext(nullptr); }, QV_ERROR_INVALID_HANDLE},
        {"unknown extension", [] { qvInitExtension("LAPACK"); }, QV_ERROR_EXTENSION},
        {"null extension name", [] { qvInitExtension(nullptr); }, QV_ERROR_EXTENSION},
        {"empty extension name", [] { qvInitExtension(""); }, QV_ERROR_EXTENSION},
        {"extension name in lower case", [] { qvInitExtension("superlu"); }, QV_ERROR_EXTENSION},
    };
    for (const Misuse &m : cases) {
        SCOPED_TRACE(m.name);
        qvNewContext();
        assemble_two_by_two();
        m.call();
        EXPECT_EQ(qvGetError(), m.expected);
        EXPECT_EQ(qvGetError(), QV_OK);  // reading clears it
        expect_two_by_two_solved();
        qvDeleteContext(qvGetCurrent());
    }
}

TEST_F(Api, MisuseDuringAssemblyKeepsTheRowsGiven) {
    qvNewContext();
    qvSolverParameteri(QV_PARAM_VARIABLE_COUNT, 2);
    qvBegin(QV_BLOCK_SYSTEM);
    qvSolverParameteri(QV_PARAM_SOLVER, QV_METHOD_GMRES);  // parameters only outside blocks
    EXPECT_EQ(qvGetError(), QV_ERROR_BLOCK_ORDER);
    qvBegin(QV_BLOCK_MATRIX);
    qvBegin(QV_BLOCK_ROW);
    qvCoefficient(0, 1.0);
    qvCoefficient(5, 9.0);  // out of range: ignored
    EXPECT_EQ(qvGetError(), QV_ERROR_INVALID_INDEX);
    qvCoefficient(1, NaN);  // not finite: ignored
    EXPECT_EQ(qvGetError(), QV_ERROR_NOT_FINITE);
    qvCoefficient(1, 1.0);
    qvCoefficient(1, 1.0);  // repeated coefficients add up to 2
    qvRightHandSide(5.0);
    qvEnd(QV_BLOCK_MATRIX);  // the row is still open
    EXPECT_EQ(qvGetError(), QV_ERROR_BLOCK_ORDER);
    qvEnd(QV_BLOCK_ROW);
    qvBegin(QV_BLOCK_ROW);
    qvCoefficient(1, 4.0);
    qvCoefficient(0, 3.0);  // out of order within the row
    qvRightHandSide(6.0);
    qvEnd(QV_BLOCK_ROW);
    qvEnd(QV_BLOCK_MATRIX);
    EXPECT_FALSE(qvSolve());  // the system block is still open
    EXPECT_EQ(qvGetError(), QV_ERROR_BLOCK_ORDER);
    qvEnd(QV_BLOCK_SYSTEM);
    expect_two_by_two_solved();
}

// Rows given back to front, coefficients split in two halves, must make the
// same matrix as plain rows: the same answer to the bit.
TEST_F(Api, RowsInAnyOrderWithRepeatsMakeTheSameMatrix) {
    const Problem p = convection_diffusion(70, 0.2);  // past the first estimate of the room
    auto solve = [&p](bool scrambled) {
        qvNewContext();
        qvSolverParameteri(QV_PARAM_VARIABLE_COUNT, p.cols);
        qvSolverParameterd(QV_PARAM_THRESHOLD, 1e-9);
        qvBegin(QV_BLOCK_SYSTEM);
        qvBegin(QV_BLOCK_MATRIX);
        std::size_t first = 0;
        for (int row = 0; row < p.rows; ++row) {
            std::size_t last = first;
            while (last < p.entries.size() && p.entries[last].row == row)
                ++last;
            qvBegin(QV_BLOCK_ROW);
            // none, one, three or all five halved: rows of 5, 6, 8 and 10 entries
            const std::size_t halved[4] = {0, 1, 3, 5};
            for (std::size_t k = first; k < last; ++k) {
                const Entry &e = scrambled ? p.entries[first + last - 1 - k] : p.entries[k];
                const bool split = scrambled && k - first < halved[row % 4];
                qvCoefficient(e.col, split ? e.value / 2 : e.value);
                if (split)
                    qvCoefficient(e.col, e.value / 2);
            }
            qvRightHandSide(p.rhs[static_cast<std::size_t>(row)]);
            qvEnd(QV_BLOCK_ROW);
            first = last;
        }
        qvEnd(QV_BLOCK_MATRIX);
        qvEnd(QV_BLOCK_SYSTEM);
        EXPECT_TRUE(qvSolve()) << qvErrorString(qvGetError());
        const std::vector<double> x = read_variables(p.cols);
        qvDeleteContext(qvGetCurrent());
        return x;
    };
    const std::vector<double> plain = solve(false);
    EXPECT_LE(relative_residual(p, plain), 1e-9 * 1.01);
    EXPECT_EQ(solve(true), plain);
}

TEST_F(Api, CallsWithoutAContextReportIt) {
    EXPECT_EQ(qvGetCurrent(), nullptr);
    qvBegin(QV_BLOCK_SYSTEM);
    EXPECT_EQ(qvGetError(), QV_ERROR_NO_CONTEXT);
    EXPECT_FALSE(qvSolve());
    EXPECT_EQ(qvGetError(), QV_ERROR_NO_CONTEXT);
    EXPECT_EQ(qvGetVariable(0), 0.0);
    EXPECT_EQ(qvGetError(), QV_ERROR_NO_CONTEXT);
    QVcontext ctx = qvNewContext();
    qvDeleteContext(ctx);
    qvDeleteContext(ctx);  // already deleted
    EXPECT_EQ(qvGetError(), QV_ERROR_INVALID_HANDLE);
    qvMakeCurrent(ctx);
    EXPECT_EQ(qvGetError(), QV_ERROR_INVALID_HANDLE);
    EXPECT_EQ(qvGetCurrent(), nullptr);
    // A new context, perhaps at the old one's address, is not reachable by the stale handle.
    QVcontext fresh = qvNewContext();
    EXPECT_NE(fresh, ctx);
    qvDeleteContext(ctx);
    EXPECT_EQ(qvGetError(), QV_ERROR_INVALID_HANDLE);
    EXPECT_EQ(qvGetCurrent(), fresh);
}

#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__)
TEST_F(Api, AllocationFailureIsReportedAndChangesNothing) {
    qvNewContext();
    assemble_two_by_two();
    QVint error = QV_OK;
    if (!with_memory_limit(256u << 20, [&] {
            qvSolverParameteri(QV_PARAM_VARIABLE_COUNT, 1 << 27);  // needs over 1 GiB
            error = qvGetError();
        }))
        GTEST_SKIP() << "the address space cannot be limited here";
    EXPECT_EQ(error, QV_ERROR_OUT_OF_MEMORY);
    EXPECT_EQ(qvGetParameteri(QV_PARAM_VARIABLE_COUNT), 2);
    expect_two_by_two_solved();  // the assembled system survived
}
#endif

TEST_F(Api, ShapeMismatchFailsTheSolve) {
    qvNewContext();
    qvSolverParameteri(QV_PARAM_VARIABLE_COUNT, 3);
    qvBegin(QV_BLOCK_SYSTEM);
    qvBegin(QV_BLOCK_MATRIX);
    qvBegin(QV_BLOCK_ROW);
    qvCoefficient(0, 1.0);
    qvRightHandSide(1.0);
    qvEnd(QV_BLOCK_ROW);
    qvEnd(QV_BLOCK_MATRIX);
    qvEnd(QV_BLOCK_SYSTEM);
    EXPECT_FALSE(qvSolve());
    EXPECT_EQ(qvGetError(), QV_ERROR_DIMENSION);
}

TEST_F(Api, ZeroRightHandSideGivesZero) {
    for (QVint method : {QV_METHOD_BICGSTAB, QV_METHOD_GMRES, QV_METHOD_CG}) {
        Problem p = poisson(10);
        p.rhs.assign(static_cast<std::size_t>(p.rows), 0.0);
        assemble(p, method, QV_PRECONDITIONER_JACOBI);
        for (int i = 0; i < p.cols; ++i)
            qvSetVariable(i, 3.0);  // a non-zero initial guess
        ASSERT_TRUE(qvSolve());
        for (int i = 0; i < p.cols; ++i)
            ASSERT_EQ(qvGetVariable(i), 0.0);
        qvDeleteContext(qvGetCurrent());
    }
}

TEST_F(Api, IdentityAndExactGuessConvergeAtOnce) {
    Problem identity;
    identity.rows = identity.cols = 50;
    for (int i = 0; i < 50; ++i) {
        identity.entries.push_back({i, i, 1.0});
        identity.rhs.push_back(i - 20.0);
    }
    for (QVint method : {QV_METHOD_BICGSTAB, QV_METHOD_GMRES, QV_METHOD_CG}) {
        assemble(identity, method, QV_PRECONDITIONER_NONE);
        ASSERT_TRUE(qvSolve()) << qvErrorString(qvGetError());
        EXPECT_LE(qvGetParameteri(QV_USED_ITERATIONS), 1);
        for (int i = 0; i < 50; ++i)
            EXPECT_NEAR(qvGetVariable(i), i - 20.0, 1e-12);
        ASSERT_TRUE(qvSolve());  // the answer is now the initial guess
        EXPECT_EQ(qvGetParameteri(QV_USED_ITERATIONS), 0);
        qvDeleteContext(qvGetCurrent());
    }
}

TEST_F(Api, SingularSystemFailsWithoutNaN) {
    // [1 1; 1 1] x = [1 2] has no solution.
    Problem p;
    p.rows = p.cols = 2;
    p.entries = {{0, 0, 1.0}, {0, 1, 1.0}, {1, 0, 1.0}, {1, 1, 1.0}};
    p.rhs = {1.0, 2.0};
    for (QVint method : {QV_METHOD_BICGSTAB, QV_METHOD_GMRES, QV_METHOD_CG}) {
        assemble(p, method, QV_PRECONDITIONER_JACOBI);
        EXPECT_FALSE(qvSolve());
        const QVint error = qvGetError();
        EXPECT_TRUE(error == QV_ERROR_BREAKDOWN || error == QV_ERROR_STAGNATED) << error;
        EXPECT_GT(qvGetParameterd(QV_RESIDUAL), 1e-3);
        EXPECT_TRUE(variables_finite(2));
        qvDeleteContext(qvGetCurrent());
    }
}

TEST_F(Api, ConjugateGradientsRefuseAnIndefiniteMatrix) {
    // Symmetric with determinant -21: the first direction, b, has b'Ab < 0.
    Problem p;
    p.rows = p.cols = 2;
    p.entries = {{0, 0, 1.0}, {0, 1, -5.0}, {1, 0, -5.0}, {1, 1, 4.0}};
    p.rhs = {5.0, 6.0};
    assemble(p, QV_METHOD_CG, QV_PRECONDITIONER_NONE);
    EXPECT_FALSE(qvSolve());
    EXPECT_EQ(qvGetError(), QV_ERROR_BREAKDOWN);
    EXPECT_EQ(qvGetParameteri(QV_USED_ITERATIONS), 1);
    EXPECT_EQ(qvGetVariable(0), 0.0);  // the initial guess is kept, being better
    EXPECT_EQ(qvGetParameterd(QV_RESIDUAL), 1.0);
    qvDeleteContext(qvGetCurrent());
    assemble(p, QV_METHOD_BICGSTAB, QV_PRECONDITIONER_NONE);  // a method that needs no definiteness
    ASSERT_TRUE(qvSolve());
    EXPECT_NEAR(qvGetVariable(0), -50.0 / 21.0, 1e-9);
}

TEST_F(Api, IterationLimitIsReportedHonestly) {
    const Problem p = convection_diffusion(60, 0.3);
    assemble(p, QV_METHOD_BICGSTAB, QV_PRECONDITIONER_JACOBI);
    qvSolverParameteri(QV_PARAM_MAX_ITERATIONS, 5);
    EXPECT_FALSE(qvSolve());
    EXPECT_EQ(qvGetError(), QV_ERROR_NOT_CONVERGED);
    EXPECT_EQ(qvGetParameteri(QV_USED_ITERATIONS), 5);
    const std::vector<double> x = read_variables(p.cols);
    EXPECT_NEAR(qvGetParameterd(QV_RESIDUAL), relative_residual(p, x), 1e-12);
    EXPECT_GT(qvGetParameterd(QV_RESIDUAL), 1e-10);
    // Going on from there reaches the answer.
    qvSolverParameteri(QV_PARAM_MAX_ITERATIONS, 0);
    EXPECT_TRUE(qvSolve());
}

TEST_F(Api, ParametersReadBack) {
    qvNewContext();
    EXPECT_EQ(qvGetParameteri(QV_PARAM_SOLVER), QV_METHOD_DEFAULT);
    EXPECT_EQ(qvGetParameteri(QV_PARAM_PRECONDITIONER), QV_PRECONDITIONER_JACOBI);
    EXPECT_EQ(qvGetParameterd(QV_PARAM_THRESHOLD), 1e-10);
    qvSolverParameteri(QV_PARAM_GMRES_RESTART, 12);
    qvSolverParameterd(QV_PARAM_SSOR_OMEGA, 1.5);
    qvSolverParameteri(QV_PARAM_MAX_ITERATIONS, 77);
    EXPECT_EQ(qvGetParameteri(QV_PARAM_GMRES_RESTART), 12);
    EXPECT_EQ(qvGetParameterd(QV_PARAM_SSOR_OMEGA), 1.5);
    EXPECT_EQ(qvGetParameteri(QV_PARAM_MAX_ITERATIONS), 77);
    EXPECT_EQ(qvGetError(), QV_OK);
}

}  // namespace
