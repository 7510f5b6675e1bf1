// qvCoefficients: whole or partial rows in one call, all entries or none.
#include "test_support.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

using namespace testing_support;

namespace {

class BulkRows : public LibraryTest {};

// Solves p with its rows given through qvCoefficients: back to front, each
// coefficient split in two halves, in calls of at most `chunk` entries.
std::vector<double> solve_in_chunks(const Problem &p, std::size_t chunk) {
    qvNewContext();
    qvSolverParameteri(QV_PARAM_VARIABLE_COUNT, p.cols);
    qvSolverParameterd(QV_PARAM_THRESHOLD, 1e-9);
    qvBegin(QV_BLOCK_SYSTEM);
    qvBegin(QV_BLOCK_MATRIX);
    std::size_t first = 0;
    std::vector<QVint> cols;
    std::vector<QVdouble> vals;
    for (int row = 0; row < p.rows; ++row) {
        cols.clear();
        vals.clear();
        for (; first < p.entries.size() && p.entries[first].row == row; ++first) {
            for (int half = 0; half < 2; ++half) {
                cols.insert(cols.begin(), p.entries[first].col);
                vals.insert(vals.begin(), p.entries[first].value / 2);
            }
        }
        qvBegin(QV_BLOCK_ROW);
        for (std::size_t k = 0; k < cols.size(); k += chunk) {
            const std::size_t n = std::min(chunk, cols.size() - k);
            qvCoefficients(static_cast<QVint>(n), cols.data() + k, vals.data() + k);
        }
        qvRightHandSide(p.rhs[static_cast<std::size_t>(row)]);
        qvEnd(QV_BLOCK_ROW);
    }
    qvEnd(QV_BLOCK_MATRIX);
    qvEnd(QV_BLOCK_SYSTEM);
    EXPECT_TRUE(qvSolve()) << qvErrorString(qvGetError());
    EXPECT_EQ(qvGetError(), QV_OK);
    std::vector<double> x = read_variables(p.cols);
    qvDeleteContext(qvGetCurrent());
    return x;
}

// The same matrix as count calls of qvCoefficient make, hence the same bits.
TEST_F(BulkRows, MakeTheSameMatrixAsSingleCalls) {
    const Problem p = convection_diffusion(70, 0.2);  // past the first estimate of the room
    assemble(p, QV_METHOD_BICGSTAB, QV_PRECONDITIONER_JACOBI);
    qvSolverParameterd(QV_PARAM_THRESHOLD, 1e-9);
    ASSERT_TRUE(qvSolve()) << qvErrorString(qvGetError());
    const std::vector<double> single = read_variables(p.cols);
    EXPECT_LE(relative_residual(p, single), 1e-9 * 1.01);
    for (std::size_t chunk : {1u, 3u, 1000u}) {
        SCOPED_TRACE(chunk);
        EXPECT_EQ(solve_in_chunks(p, chunk), single);
    }
}

// A refused call adds nothing: the row [1 2 | 5], [3 4 | 6] still solves to
// (-4, 4.5) after every bad call made in its first row.
TEST_F(BulkRows, ABadCallAddsNoneAndRecordsItsError) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const QVint good_cols[] = {0, 1};
    struct Case {
        const char *name;
        QVint count;
        std::vector<QVint> cols;
        std::vector<QVdouble> vals;
        bool null_cols, null_vals;
        QVint expected;
    };
    const Case cases[] = {
        {"negative count", -1, {0}, {1.0}, false, false, QV_ERROR_INVALID_VALUE},
        {"null indices", 1, {}, {1.0}, true, false, QV_ERROR_INVALID_VALUE},
        {"null values", 1, {0}, {}, false, true, QV_ERROR_INVALID_VALUE},
        {"last index too large", 3, {0, 1, 2}, {7, 7, 7}, false, false, QV_ERROR_INVALID_INDEX},
        {"negative index", 2, {0, -1}, {7, 7}, false, false, QV_ERROR_INVALID_INDEX},
        {"NaN first", 2, {0, 1}, {nan, 7}, false, false, QV_ERROR_NOT_FINITE},
        {"infinity, then a bad index",
         3,
         {1, 0, 9},
         {7, -inf, 7},
         false,
         false,
         QV_ERROR_NOT_FINITE},
        {"nothing, with null arrays", 0, {}, {}, true, true, QV_OK},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        qvNewContext();
        qvSolverParameteri(QV_PARAM_VARIABLE_COUNT, 2);
        qvBegin(QV_BLOCK_SYSTEM);
        qvBegin(QV_BLOCK_MATRIX);
        qvBegin(QV_BLOCK_ROW);
        const double first_row[] = {1, 2};
        qvCoefficients(2, good_cols, first_row);
        qvCoefficients(c.count, c.null_cols ? nullptr : c.cols.data(),
                       c.null_vals ? nullptr : c.vals.data());
        EXPECT_EQ(qvGetError(), c.expected);
        qvRightHandSide(5);
        qvEnd(QV_BLOCK_ROW);
        qvBegin(QV_BLOCK_ROW);
        const double second_row[] = {3, 4};
        qvCoefficients(2, good_cols, second_row);
        qvRightHandSide(6);
        qvEnd(QV_BLOCK_ROW);
        qvEnd(QV_BLOCK_MATRIX);
        qvEnd(QV_BLOCK_SYSTEM);
        ASSERT_TRUE(qvSolve()) << qvErrorString(qvGetError());
        EXPECT_NEAR(qvGetVariable(0), -4.0, 1e-9);
        EXPECT_NEAR(qvGetVariable(1), 4.5, 1e-9);
        qvDeleteContext(qvGetCurrent());
    }
}

TEST_F(BulkRows, OutsideARowOrWithoutAContextIsRefused) {
    const QVint cols[] = {0};
    const QVdouble vals[] = {1.0};
    qvCoefficients(1, cols, vals);
    EXPECT_EQ(qvGetError(), QV_ERROR_NO_CONTEXT);
    qvNewContext();
    qvSolverParameteri(QV_PARAM_VARIABLE_COUNT, 1);
    qvBegin(QV_BLOCK_SYSTEM);
    qvBegin(QV_BLOCK_MATRIX);
    qvCoefficients(1, cols, vals);
    EXPECT_EQ(qvGetError(), QV_ERROR_BLOCK_ORDER);
    qvBegin(QV_BLOCK_ROW);
    qvCoefficients(1, cols, vals);
    qvRightHandSide(2.0);
    qvEnd(QV_BLOCK_ROW);
    qvEnd(QV_BLOCK_MATRIX);
    qvEnd(QV_BLOCK_SYSTEM);
    ASSERT_TRUE(qvSolve());
    EXPECT_DOUBLE_EQ(qvGetVariable(0), 2.0);  // the refused call added nothing
}

}  // namespace
