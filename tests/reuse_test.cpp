// Solving again with the setup kept, several systems in one solve, and the
// whole-array calls.
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

using namespace testing_support;

namespace {

class Reuse : public LibraryTest {};

using Locks = std::vector<std::pair<int, double>>;

struct Config {
    QVint method, preconditioner;
    const char *extension;  // needed first, or null
    bool symmetric;         // needs a symmetric matrix
};

const Config configs[] = {
    {QV_METHOD_BICGSTAB, QV_PRECONDITIONER_JACOBI, nullptr, false},
    {QV_METHOD_GMRES, QV_PRECONDITIONER_ILU0, nullptr, false},
    {QV_METHOD_BICGSTAB, QV_PRECONDITIONER_ILUT, nullptr, false},
    {QV_METHOD_CG, QV_PRECONDITIONER_IC0, nullptr, true},
    {QV_METHOD_CG, QV_PRECONDITIONER_SSOR, nullptr, true},
    {QV_METHOD_CG, QV_PRECONDITIONER_AMG, nullptr, true},
    {QV_METHOD_SUPERLU_PERMUTED, QV_PRECONDITIONER_JACOBI, "SUPERLU", false},
    {QV_METHOD_CHOLMOD, QV_PRECONDITIONER_JACOBI, "CHOLMOD", true},
};

bool usable(const Config &c) {
    if (c.extension == nullptr || qvInitExtension(c.extension))
        return true;
    qvGetError();
    return false;
}

Problem problem_for(const Config &c) {
    return c.symmetric ? poisson(24) : convection_diffusion(24, 0.3);
}

// p with the rows of the variables locked taken out: a square system again.
Problem without_rows(const Problem &p, const Locks &locks) {
    Problem q;
    q.cols = p.cols;
    std::vector<int> row_of(static_cast<std::size_t>(p.rows), 0);
    for (int i = 0; i < p.rows; ++i) {
        bool locked = false;
        for (const auto &lock : locks)
            locked = locked || lock.first == i;
        row_of[static_cast<std::size_t>(i)] = locked ? -1 : q.rows++;
        if (!locked)
            q.rhs.push_back(p.rhs[static_cast<std::size_t>(i)]);
    }
    for (const Entry &e : p.entries)
        if (row_of[static_cast<std::size_t>(e.row)] >= 0)
            q.entries.push_back({row_of[static_cast<std::size_t>(e.row)], e.col, e.value});
    return q;
}

// The problem with its right-hand side made new: b_i scale + (i mod 7).
Problem with_rhs(Problem p, double scale) {
    for (std::size_t i = 0; i < p.rhs.size(); ++i)
        p.rhs[i] = p.rhs[i] * scale + static_cast<double>(i % 7);
    return p;
}

// Solves the current context; the variables, or nothing when it fails.
std::vector<double> solved(int count) {
    EXPECT_TRUE(qvSolve()) << qvErrorString(qvGetError());
    std::vector<double> x(static_cast<std::size_t>(count));
    qvGetVariables(count, x.data());
    EXPECT_EQ(qvGetError(), QV_OK);
    return x;
}

TEST_F(Reuse, ASecondSolveGivesTheBitsOfAFreshOneAndBuildsNothing) {
    for (const Config &c : configs) {
        if (!usable(c))
            continue;
        SCOPED_TRACE(c.method * 0x1000 + c.preconditioner);
        const Locks locks{{0, 1.5}, {30, -2.0}}, moved{{0, 3.0}, {30, -2.0}};
        const Problem p = without_rows(problem_for(c), locks), q = with_rhs(p, 0.5);
        assemble(p, c.method, c.preconditioner, false, locks);
        const QVcontext kept = qvGetCurrent();
        std::vector<double> guess = solved(p.cols);
        qvSetRightHandSides(q.rows, q.rhs.data());
        guess[0] = 3.0;  // a locked value moves
        qvSetVariables(p.cols, guess.data());
        const std::vector<double> again = solved(p.cols);
        EXPECT_EQ(qvGetParameterd(QV_SETUP_SECONDS), 0.0);
        const QVint iterations = qvGetParameteri(QV_USED_ITERATIONS);
        EXPECT_LE(relative_residual(q, again), 1e-9);

        assemble(q, c.method, c.preconditioner, false, moved);
        qvSetVariables(p.cols, guess.data());
        EXPECT_EQ(solved(p.cols), again);  // the same bits
        EXPECT_EQ(qvGetParameteri(QV_USED_ITERATIONS), iterations);
        qvDeleteContext(qvGetCurrent());
        qvDeleteContext(kept);
    }
}

TEST_F(Reuse, WhatChangesIsNeverServedAStaleSetup) {
    for (const Config &c : configs) {
        if (!usable(c))
            continue;
        SCOPED_TRACE(c.method * 0x1000 + c.preconditioner);
        Problem p = problem_for(c);
        assemble(p, c.method, c.preconditioner);
        solved(p.cols);
        for (Entry &e : p.entries)  // one coefficient, the same pattern
            if (e.row == 40 && e.col == 40)
                e.value *= 4.0;
        send_system(p);
        EXPECT_LE(relative_residual(p, solved(p.cols)), 1e-9);
        // A new entry on both sides of the diagonal: another pattern.
        p.entries.push_back({3, 50, -0.5});
        p.entries.push_back({50, 3, -0.5});
        std::stable_sort(p.entries.begin(), p.entries.end(),
                         [](const Entry &x, const Entry &y) { return x.row < y.row; });
        send_system(p);
        EXPECT_LE(relative_residual(p, solved(p.cols)), 1e-9);
        // Another preconditioner, then another method.
        qvSolverParameteri(QV_PARAM_PRECONDITIONER, c.preconditioner == QV_PRECONDITIONER_SSOR
                                                        ? QV_PRECONDITIONER_JACOBI
                                                        : QV_PRECONDITIONER_SSOR);
        EXPECT_LE(relative_residual(p, solved(p.cols)), 1e-9);
        qvSolverParameteri(QV_PARAM_SOLVER, QV_METHOD_GMRES);
        EXPECT_LE(relative_residual(p, solved(p.cols)), 1e-9);
        release_contexts();
    }
}

// Assembles p into a context of `systems` systems, system s with the
// right-hand side with_rhs(p, s + 1) and variable 0 locked at s.
void assemble_systems(const Problem &p, const Config &c, int systems) {
    qvNewContext();
    qvSolverParameteri(QV_PARAM_VARIABLE_COUNT, p.cols);
    qvSolverParameteri(QV_PARAM_SYSTEMS, systems);
    qvSolverParameteri(QV_PARAM_SOLVER, c.method);
    qvSolverParameteri(QV_PARAM_PRECONDITIONER, c.preconditioner);
    qvBegin(QV_BLOCK_SYSTEM);
    qvLockVariable(0);
    qvBegin(QV_BLOCK_MATRIX);
    std::vector<double> b(static_cast<std::size_t>(systems));
    std::size_t k = 0;
    for (int row = 0; row < p.rows; ++row) {
        qvBegin(QV_BLOCK_ROW);
        for (; k < p.entries.size() && p.entries[k].row == row; ++k)
            qvCoefficient(p.entries[k].col, p.entries[k].value);
        for (int s = 0; s < systems; ++s)
            b[static_cast<std::size_t>(s)] =
                with_rhs(p, s + 1.0).rhs[static_cast<std::size_t>(row)];
        qvRightHandSides(systems, b.data());
        qvEnd(QV_BLOCK_ROW);
    }
    qvEnd(QV_BLOCK_MATRIX);
    qvEnd(QV_BLOCK_SYSTEM);
    for (int s = 0; s < systems; ++s) {
        qvSolverParameteri(QV_PARAM_SYSTEM, s);
        qvSetVariable(0, s);
    }
    ASSERT_EQ(qvGetError(), QV_OK);
}

TEST_F(Reuse, SeveralSystemsGiveTheAnswersOfSingleSolves) {
    constexpr int systems = 3;
    for (const Config &c : configs) {
        if (!usable(c))
            continue;
        SCOPED_TRACE(c.method * 0x1000 + c.preconditioner);
        const Problem p = without_rows(problem_for(c), {{0, 0.0}});
        assemble_systems(p, c, systems);
        ASSERT_TRUE(qvSolve()) << qvErrorString(qvGetError());
        for (int s = 0; s < systems; ++s) {
            qvSolverParameteri(QV_PARAM_SYSTEM, s);
            std::vector<double> x(static_cast<std::size_t>(p.cols));
            qvGetVariables(p.cols, x.data());
            const QVint iterations = qvGetParameteri(QV_USED_ITERATIONS);
            const double residual = qvGetParameterd(QV_RESIDUAL);
            EXPECT_EQ(qvGetParameteri(QV_SYSTEM_ERROR), QV_OK);
            const QVcontext many = qvGetCurrent();
            assemble(with_rhs(p, s + 1.0), c.method, c.preconditioner, false, {{0, s}});
            EXPECT_EQ(solved(p.cols), x);
            EXPECT_EQ(qvGetParameteri(QV_USED_ITERATIONS), iterations);
            EXPECT_EQ(qvGetParameterd(QV_RESIDUAL), residual);
            qvDeleteContext(qvGetCurrent());
            qvMakeCurrent(many);
        }
        release_contexts();
    }
}

TEST_F(Reuse, EachSystemIsJudgedOnItsOwn) {
    const Problem p = convection_diffusion(24, 0.3);
    assemble(p, QV_METHOD_BICGSTAB, QV_PRECONDITIONER_JACOBI);
    qvSolverParameteri(QV_PARAM_SYSTEMS, 2);  // system 1 comes with zeros
    qvSolverParameteri(QV_PARAM_MAX_ITERATIONS, 3);
    EXPECT_FALSE(qvSolve());
    EXPECT_EQ(qvGetError(), QV_ERROR_NOT_CONVERGED);
    EXPECT_EQ(qvGetParameteri(QV_SYSTEM_ERROR), QV_ERROR_NOT_CONVERGED);
    EXPECT_EQ(qvGetParameteri(QV_USED_ITERATIONS), 3);
    qvSolverParameteri(QV_PARAM_SYSTEM, 1);
    EXPECT_EQ(qvGetParameteri(QV_SYSTEM_ERROR), QV_OK);  // x = 0 is exact
    EXPECT_EQ(qvGetVariable(5), 0.0);
    EXPECT_EQ(qvGetError(), QV_OK);
}

// 2n x n, five entries a row in scattered columns: least squares that
// never forms A'A.
Problem scattered_least_squares(int n) {
    Problem p;
    p.rows = 2 * n;
    p.cols = n;
    for (int i = 0; i < p.rows; ++i) {
        for (int k = 0; k < 5; ++k)
            p.entries.push_back({i, (i + 7 * k * k + 3 * k) % n, k == 0 ? 3.0 : 0.5 - 0.25 * k});
        p.rhs.push_back(static_cast<double>(i % 5));
    }
    return p;
}

TEST_F(Reuse, LeastSquaresKeepsItsSetupToo) {
    for (QVint method : {QV_METHOD_DEFAULT, QV_METHOD_CG}) {  // LSMR and CGLS
        Problem p = scattered_least_squares(300);
        const Problem q = with_rhs(p, 0.5);
        const Locks locks{{0, 0.5}};
        assemble(p, method, QV_PRECONDITIONER_JACOBI, true, locks);
        const QVcontext kept = qvGetCurrent();
        const std::vector<double> guess = solved(p.cols);
        qvSetRightHandSides(q.rows, q.rhs.data());
        const std::vector<double> again = solved(p.cols);
        EXPECT_EQ(qvGetParameterd(QV_SETUP_SECONDS), 0.0);
        assemble(q, method, QV_PRECONDITIONER_JACOBI, true, locks);
        qvSetVariables(p.cols, guess.data());
        EXPECT_EQ(solved(p.cols), again);  // the same bits as a fresh solve
        qvDeleteContext(qvGetCurrent());
        qvMakeCurrent(kept);
        p.entries[10].value = 40.0;  // a new value: the setup follows
        send_system(p, locks);
        const std::vector<double> x = solved(p.cols), reference = dense_least_squares(p, locks);
        EXPECT_GT(qvGetParameterd(QV_SETUP_SECONDS), 0.0);  // made again
        for (std::size_t j = 0; j < x.size(); ++j)
            EXPECT_NEAR(x[j], reference[j], 1e-7 * (1.0 + std::fabs(reference[j])));
        release_contexts();
    }
}

// p in compressed rows: row 1 reversed and its first entry split in two.
struct Compressed {
    std::vector<std::int64_t> starts{0};
    std::vector<QVint> columns;
    std::vector<double> values;
};

Compressed compress(const Problem &p) {
    Compressed c;
    for (int row = 0; row < p.rows; ++row) {
        std::vector<Entry> entries;
        for (const Entry &e : p.entries)
            if (e.row == row)
                entries.push_back(e);
        if (row == 1) {
            std::reverse(entries.begin(), entries.end());
            entries.back().value /= 2;
            entries.push_back(entries.back());
        }
        for (const Entry &e : entries) {
            c.columns.push_back(e.col);
            c.values.push_back(e.value);
        }
        c.starts.push_back(static_cast<std::int64_t>(c.columns.size()));
    }
    return c;
}

TEST_F(Reuse, WholeArrayCallsTakeAllOrNothing) {
    const Problem p = convection_diffusion(12, 0.3);
    assemble(p, QV_METHOD_BICGSTAB, QV_PRECONDITIONER_ILU0);
    const std::vector<double> rows_one_by_one = solved(p.cols);

    Compressed c = compress(p);
    const QVint n = p.rows;
    qvBegin(QV_BLOCK_SYSTEM);
    qvCompressedRows(n, c.starts.data(), c.columns.data(), c.values.data(), p.rhs.data());
    EXPECT_EQ(qvGetError(), QV_OK);
    // Each fault refused with its error, the matrix above standing.
    auto refused = [&](int error, QVint rows, const std::int64_t *starts, const QVint *columns,
                       const double *values, const double *rhs) {
        qvCompressedRows(rows, starts, columns, values, rhs);
        EXPECT_EQ(qvGetError(), error);
    };
    refused(QV_ERROR_INVALID_VALUE, -1, c.starts.data(), c.columns.data(), c.values.data(),
            nullptr);
    refused(QV_ERROR_INVALID_VALUE, n, nullptr, c.columns.data(), c.values.data(), nullptr);
    refused(QV_ERROR_INVALID_VALUE, n, c.starts.data(), nullptr, c.values.data(), nullptr);
    std::vector<std::int64_t> falling = c.starts;
    std::swap(falling[3], falling[4]);
    refused(QV_ERROR_INVALID_VALUE, n, falling.data(), c.columns.data(), c.values.data(), nullptr);
    falling = c.starts;
    falling[0] = 1;
    refused(QV_ERROR_INVALID_VALUE, n, falling.data(), c.columns.data(), c.values.data(), nullptr);
    std::vector<QVint> bad_columns = c.columns;
    bad_columns[bad_columns.size() - 1] = p.cols;
    refused(QV_ERROR_INVALID_INDEX, n, c.starts.data(), bad_columns.data(), c.values.data(),
            nullptr);
    std::vector<double> bad_values = c.values;
    bad_values[7] = std::numeric_limits<double>::quiet_NaN();
    refused(QV_ERROR_NOT_FINITE, n, c.starts.data(), c.columns.data(), bad_values.data(), nullptr);
    refused(QV_ERROR_NOT_FINITE, n, c.starts.data(), c.columns.data(), c.values.data(),
            bad_values.data());
    qvBegin(QV_BLOCK_MATRIX);
    refused(QV_ERROR_BLOCK_ORDER, n, c.starts.data(), c.columns.data(), c.values.data(), nullptr);
    qvEnd(QV_BLOCK_MATRIX);  // an empty matrix block gives no rows: give them again
    qvCompressedRows(n, c.starts.data(), c.columns.data(), c.values.data(), p.rhs.data());
    qvEnd(QV_BLOCK_SYSTEM);
    qvSetVariables(p.cols, std::vector<double>(static_cast<std::size_t>(p.cols), 0.0).data());
    EXPECT_EQ(solved(p.cols), rows_one_by_one);

    // The vector calls: the wrong count, a null array, a value not finite,
    // a row out of range, before a system; each changes nothing.
    std::vector<double> x(static_cast<std::size_t>(p.cols), 1.0);
    x[2] = std::numeric_limits<double>::infinity();
    qvSetVariables(p.cols, x.data());
    EXPECT_EQ(qvGetError(), QV_ERROR_NOT_FINITE);
    qvSetVariables(p.cols - 1, x.data());
    EXPECT_EQ(qvGetError(), QV_ERROR_INVALID_VALUE);
    qvGetVariables(p.cols, nullptr);
    EXPECT_EQ(qvGetError(), QV_ERROR_INVALID_VALUE);
    qvSetRightHandSides(n + 1, p.rhs.data());
    EXPECT_EQ(qvGetError(), QV_ERROR_INVALID_VALUE);
    qvSetRightHandSides(n, x.data());  // (the infinity at x[2]; as many rows as variables)
    EXPECT_EQ(qvGetError(), QV_ERROR_NOT_FINITE);
    qvSetRightHandSide(n, 1.0);
    EXPECT_EQ(qvGetError(), QV_ERROR_INVALID_INDEX);
    qvRightHandSides(1, x.data());
    EXPECT_EQ(qvGetError(), QV_ERROR_BLOCK_ORDER);
    std::vector<double> unchanged(static_cast<std::size_t>(p.cols));
    qvGetVariables(p.cols, unchanged.data());
    EXPECT_EQ(unchanged, rows_one_by_one);
    EXPECT_TRUE(qvSolve());  // the right-hand sides as they were: the guess is the answer
    EXPECT_EQ(qvGetParameteri(QV_USED_ITERATIONS), 0);
    qvBegin(QV_BLOCK_SYSTEM);
    qvSetRightHandSide(0, 1.0);
    EXPECT_EQ(qvGetError(), QV_ERROR_BLOCK_ORDER);
    qvEnd(QV_BLOCK_SYSTEM);

    // Least squares, with an empty row before a row out of order: as row by row.
    const Problem lsq{3, 2, {{0, 0, 1.0}, {0, 1, 1.0}, {2, 1, 2.0}, {2, 0, 1.0}}, {1, 0, 5}};
    assemble(lsq, QV_METHOD_DEFAULT, QV_PRECONDITIONER_JACOBI, true);
    const std::vector<double> by_rows = solved(2);
    const std::vector<std::int64_t> starts{0, 2, 2, 4};
    const std::vector<QVint> columns{0, 1, 1, 0};
    const std::vector<double> values{1.0, 1.0, 2.0, 1.0};
    qvSetVariables(2, std::vector<double>(2, 0.0).data());
    qvBegin(QV_BLOCK_SYSTEM);
    qvCompressedRows(3, starts.data(), columns.data(), values.data(), lsq.rhs.data());
    qvEnd(QV_BLOCK_SYSTEM);
    EXPECT_EQ(solved(2), by_rows);
}

}  // namespace
