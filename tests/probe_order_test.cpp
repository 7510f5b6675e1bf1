// A direct method used before its extension is probed must fail with an error
// code, and work once the probe succeeds. This runs in a process of its own,
// so that no earlier test has probed.
#include <brisvel/brisvel.h>

#include <gtest/gtest.h>

namespace {

struct Case {
    QVint method;
    const char *extension;
};

const Case CASES[] = {{QV_METHOD_SUPERLU, "SUPERLU"},
                      {QV_METHOD_SUPERLU_PERMUTED, "SUPERLU"},
                      {QV_METHOD_CHOLMOD, "CHOLMOD"}};

// The symmetric system [2 1; 1 3] x = [3 5], whose solution is [0.8 1.4].
void assemble(QVint method) {
    qvNewContext();
    qvSolverParameteri(QV_PARAM_VARIABLE_COUNT, 2);
    qvSolverParameteri(QV_PARAM_SOLVER, method);
    qvBegin(QV_BLOCK_SYSTEM);
    qvBegin(QV_BLOCK_MATRIX);
    const double rows[2][3] = {{2, 1, 3}, {1, 3, 5}};
    for (const auto &row : rows) {
        qvBegin(QV_BLOCK_ROW);
        qvCoefficient(0, row[0]);
        qvCoefficient(1, row[1]);
        qvRightHandSide(row[2]);
        qvEnd(QV_BLOCK_ROW);
    }
    qvEnd(QV_BLOCK_MATRIX);
    qvEnd(QV_BLOCK_SYSTEM);
    qvSetVariable(0, 7.0);
    qvSetVariable(1, -7.0);
}

TEST(ProbeOrder, DirectMethodsFailUntilTheirExtensionIsProbed) {
    for (const Case &c : CASES) {
        SCOPED_TRACE(c.extension);
        assemble(c.method);
        EXPECT_FALSE(qvSolve());
        EXPECT_EQ(qvGetError(), QV_ERROR_EXTENSION_UNAVAILABLE);
        EXPECT_EQ(qvGetVariable(0), 7.0);  // untouched
        EXPECT_EQ(qvGetVariable(1), -7.0);
        qvDeleteContext(qvGetCurrent());
    }
    bool all_loaded = true;
    for (const Case &c : CASES) {
        SCOPED_TRACE(c.extension);
        if (!qvInitExtension(c.extension)) {
            EXPECT_EQ(qvGetError(), QV_ERROR_EXTENSION_UNAVAILABLE);
            all_loaded = false;
            continue;
        }
        assemble(c.method);
        EXPECT_TRUE(qvSolve()) << qvErrorString(qvGetError());
        EXPECT_NEAR(qvGetVariable(0), 0.8, 1e-14);
        EXPECT_NEAR(qvGetVariable(1), 1.4, 1e-14);
        qvDeleteContext(qvGetCurrent());
    }
    if (!all_loaded)
        GTEST_SKIP() << "the solves after a probe need both extensions on this machine";
}

}  // namespace
