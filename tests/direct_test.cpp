// The direct methods through SuperLU and CHOLMOD: large systems judged by
// their true residual, least squares, and the failures that must come back as
// error codes with the variables untouched and nothing printed. Each test
// skips when its extension cannot be loaded here.
#include "test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>

using namespace testing_support;

namespace {

const double PI = 3.14159265358979323846;

const char *extension_of(QVint method) {
    return method == QV_METHOD_CHOLMOD ? "CHOLMOD" : "SUPERLU";
}

std::string method_name(const ::testing::TestParamInfo<QVint> &info) {
    return info.param == QV_METHOD_SUPERLU            ? "SuperLU"
           : info.param == QV_METHOD_SUPERLU_PERMUTED ? "SuperLUPermuted"
                                                      : "Cholmod";
}

Problem from_rows(int cols, const std::vector<std::vector<double>> &rows,
                  const std::vector<double> &rhs) {
    Problem p;
    p.rows = static_cast<int>(rows.size());
    p.cols = cols;
    for (int i = 0; i < p.rows; ++i) {
        const std::vector<double> &row = rows[static_cast<std::size_t>(i)];
        for (int j = 0; j < cols; ++j)
            if (row[static_cast<std::size_t>(j)] != 0.0)
                p.entries.push_back({i, j, row[static_cast<std::size_t>(j)]});
    }
    p.rhs = rhs;
    return p;
}

// p without any entry in row and column k: structurally singular.
Problem without_line(Problem p, int k) {
    std::vector<Entry> kept;
    for (const Entry &e : p.entries)
        if (e.row != k && e.col != k)
            kept.push_back(e);
    p.entries = kept;
    return p;
}

// x'Ax from the entries.
double rayleigh(const Problem &p, const std::vector<double> &x) {
    double sum = 0.0;
    for (const Entry &e : p.entries)
        sum += x[static_cast<std::size_t>(e.row)] * e.value * x[static_cast<std::size_t>(e.col)];
    return sum;
}

class Direct : public ::testing::TestWithParam<QVint> {
  protected:
    void SetUp() override {
        qvGetError();
        if (!qvInitExtension(extension_of(GetParam())))
            GTEST_SKIP() << extension_of(GetParam()) << " cannot be loaded on this machine";
    }
    void TearDown() override { release_contexts(); }

    // Solves p with the method under test and checks the answer by its true
    // residual, computed here, and the residual the library reports.
    void expect_solved(const Problem &p, double tolerance) {
        assemble(p, GetParam(), QV_PRECONDITIONER_JACOBI);
        ASSERT_TRUE(qvSolve()) << qvErrorString(qvGetError());
        const std::vector<double> x = read_variables(p.cols);
        const double actual = relative_residual(p, x);
        const double reported = qvGetParameterd(QV_RESIDUAL);
        EXPECT_LE(actual, tolerance);
        EXPECT_LE(reported, tolerance);
        EXPECT_GE(reported * 1.01 + 1e-16, actual);  // never understated
        EXPECT_EQ(qvGetParameteri(QV_USED_ITERATIONS), 0);
        std::ostringstream text;
        text << actual;
        RecordProperty("residual", text.str());
    }

    // Solves p, which must fail with code while printing nothing and leaving
    // the variables at the values given before.
    void expect_failure(const Problem &p, QVint code) {
        assemble(p, GetParam(), QV_PRECONDITIONER_JACOBI);
        for (int j = 0; j < p.cols; ++j)
            qvSetVariable(j, 0.25 * (j + 1));
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        const bool solved = qvSolve();
        const std::string out = ::testing::internal::GetCapturedStdout();
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_FALSE(solved);
        EXPECT_EQ(qvGetError(), code) << qvErrorString(code);
        EXPECT_EQ(out, "");
        EXPECT_EQ(err, "");
        for (int j = 0; j < p.cols; ++j)
            EXPECT_EQ(qvGetVariable(j), 0.25 * (j + 1)) << "variable " << j;
    }
};

using SuperLu = Direct;
using Cholmod = Direct;
using AnyDirect = Direct;

TEST_P(SuperLu, SolvesANonsymmetricGrid) {
    const Problem p = convection_diffusion(110, 0.4);  // 12,100 unknowns
    expect_solved(p, 1e-12);
    const std::vector<double> x = read_variables(p.cols);
    double worst = 0.0;
    for (int i = 0; i < p.cols; ++i)
        worst = std::fmax(worst, std::fabs(x[static_cast<std::size_t>(i)] - known_solution(i)));
    EXPECT_LT(worst, 1e-10);
}

TEST_P(SuperLu, PivotsPastAZeroDiagonal) {
    expect_solved(from_rows(2, {{0, 1}, {1, 0}}, {1, 2}), 1e-14);
    EXPECT_EQ(qvGetVariable(0), 2.0);
    EXPECT_EQ(qvGetVariable(1), 1.0);
}

TEST_P(SuperLu, EmptyColumnIsSingularEvenWhenEveryRowHasEntries) {
    expect_failure(from_rows(3, {{1, 0, 2}, {3, 0, 4}, {5, 0, 6}}, {1, 2, 3}), QV_ERROR_SINGULAR);
}

TEST_P(SuperLu, StructurallySingularMatrixWithHugeEntriesFails) {
    // No empty row or column, but columns 2 and 3 appear only in row 0, so no
    // pivot order fills the diagonal; the huge entries would overflow.
    expect_failure(
        from_rows(4, {{1, 1e300, 2, 3}, {1e300, 1e300, 0, 0}, {1e300, 5, 0, 0}, {7, 1e300, 0, 0}},
                  {1, 2, 3, 4}),
        QV_ERROR_SINGULAR);
}

TEST_P(SuperLu, HugeButRegularEntriesAreSolved) {
    expect_solved(from_rows(3, {{1e300, 2e300, 0}, {3e300, 4e300, 1e300}, {0, 1e300, 5e300}},
                            {1e300, 2e300, 3e300}),
                  1e-14);
}

// At 22,500 unknowns, with a tuned BLAS, the first try is a supernodal L L',
// which meets a negative pivot and gives way to L D L'.
TEST_P(Cholmod, SolvesASymmetricIndefiniteGrid) {
    for (const int grid : {60, 150}) {  // 3,600 and 22,500 unknowns
        const Problem p = shifted_poisson(grid, 2.1);
        std::vector<double> unit(static_cast<std::size_t>(p.cols), 0.0), smooth(unit.size());
        unit[0] = 1.0;
        for (int j = 0; j < grid; ++j)
            for (int i = 0; i < grid; ++i)
                smooth[static_cast<std::size_t>(j * grid + i)] =
                    std::sin(PI * (i + 1) / (grid + 1)) * std::sin(PI * (j + 1) / (grid + 1));
        ASSERT_GT(rayleigh(p, unit), 0.0);
        ASSERT_LT(rayleigh(p, smooth), 0.0);  // so the matrix is indefinite
        expect_solved(p, 1e-11);
    }
}

TEST_P(Cholmod, ZeroPivotFails) {
    // Nonsingular, but LDL' without pivoting meets a zero in any order.
    expect_failure(from_rows(2, {{0, 1}, {1, 0}}, {1, 2}), QV_ERROR_SINGULAR);
}

TEST_P(Cholmod, NonsymmetricMatrixIsRefused) {
    expect_failure(from_rows(2, {{1, 2}, {3, 4}}, {5, 6}), QV_ERROR_NOT_SYMMETRIC);
}

TEST_P(AnyDirect, SingularMatrixFails) {
    expect_failure(from_rows(2, {{1, 2}, {2, 4}}, {1, 2}), QV_ERROR_SINGULAR);
}

TEST_P(AnyDirect, EmptyRowAndColumnFail) {
    expect_failure(without_line(poisson(30), 417), QV_ERROR_SINGULAR);
}

TEST_P(AnyDirect, LeastSquaresFitsTheLine) {
    const Problem p = from_rows(2, {{1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}, {6, 1}, {7, 1}},
                                {3.5, 3.8, 5.5, 5.4, 6.3, 8.2, 9.5});
    assemble(p, GetParam(), QV_PRECONDITIONER_JACOBI, true);
    ASSERT_TRUE(qvSolve()) << qvErrorString(qvGetError());
    EXPECT_NEAR(qvGetVariable(0), 69.0 / 70.0, 1e-13);
    EXPECT_NEAR(qvGetVariable(1), 73.0 / 35.0, 1e-13);
    EXPECT_LE(normal_residual(p, read_variables(2)), 1e-13);
    qvDeleteContext(qvGetCurrent());

    assemble(p, GetParam(), QV_PRECONDITIONER_JACOBI, true, {{1, 0.0}});  // through the origin
    ASSERT_TRUE(qvSolve()) << qvErrorString(qvGetError());
    EXPECT_NEAR(qvGetVariable(0), 196.4 / 140.0, 1e-13);
    EXPECT_EQ(qvGetVariable(1), 0.0);
}

TEST_P(AnyDirect, LeastSquaresMatchesADenseReference) {
    Problem p = convection_diffusion(12, 0.3);  // 144 columns, then 60 more rows
    for (int i = 0; i < 60; ++i) {
        p.entries.push_back({p.rows, (7 * i) % p.cols, 1.0 + 0.01 * i});
        p.entries.push_back({p.rows, (7 * i + 50) % p.cols, -0.5});
        p.rhs.push_back(std::cos(0.3 * i));
        ++p.rows;
    }
    const std::vector<std::pair<int, double>> locked = {{5, 1.5}, {100, -2.0}};
    assemble(p, GetParam(), QV_PRECONDITIONER_JACOBI, true, locked);
    ASSERT_TRUE(qvSolve()) << qvErrorString(qvGetError());
    const std::vector<double> x = read_variables(p.cols);
    const std::vector<double> reference = dense_least_squares(p, locked);
    for (std::size_t j = 0; j < x.size(); ++j)
        EXPECT_NEAR(x[j], reference[j], 1e-10 * (1.0 + std::fabs(reference[j]))) << j;
}

TEST_P(AnyDirect, ProbingAgainAnswersTrueAtOnce) {
    for (int k = 0; k < 3; ++k)
        EXPECT_TRUE(qvInitExtension(extension_of(GetParam())));
    EXPECT_EQ(qvGetError(), QV_OK);
}

INSTANTIATE_TEST_SUITE_P(BothOrderings, SuperLu,
                         ::testing::Values(QV_METHOD_SUPERLU, QV_METHOD_SUPERLU_PERMUTED),
                         method_name);
INSTANTIATE_TEST_SUITE_P(LDLt, Cholmod, ::testing::Values(QV_METHOD_CHOLMOD), method_name);
INSTANTIATE_TEST_SUITE_P(Methods, AnyDirect,
                         ::testing::Values(QV_METHOD_SUPERLU, QV_METHOD_SUPERLU_PERMUTED,
                                           QV_METHOD_CHOLMOD),
                         method_name);

}  // namespace
