// Probing finds libraries that lack a function the solver calls: CTest runs
// this with the library path pointing at fakes built from fake_extension.c.
// The probe must answer false, call nothing in them, and direct solves fail.
#include <brisvel/brisvel.h>

#include <gtest/gtest.h>

#include <dlfcn.h>

namespace {

// The fakes shadow the real libraries only when the loader's search finds
// them first; otherwise this test would prove nothing.
void expect_fake(const char *file, const char *present, const char *missing) {
    void *handle = dlopen(file, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << file << " is not on the library path";
    EXPECT_NE(dlsym(handle, present), nullptr) << file;
    EXPECT_EQ(dlsym(handle, missing), nullptr) << file << " is the real library";
    dlclose(handle);
}

TEST(FakeExtension, TheFakesAreFoundFirst) {
    for (const char *file : {"libsuperlu.so.5", "libsuperlu.so.6", "libsuperlu.so.7"})
        expect_fake(file, "set_default_options", "dgssv");
    for (const char *file : {"libcholmod.so.3", "libcholmod.so.4", "libcholmod.so.5"})
        expect_fake(file, "cholmod_start", "cholmod_solve");
}

TEST(FakeExtension, ProbeAnswersFalseAndDirectSolvesFail) {
    for (int attempt = 0; attempt < 2; ++attempt) {  // a failed probe tries again
        EXPECT_FALSE(qvInitExtension("SUPERLU"));
        EXPECT_EQ(qvGetError(), QV_ERROR_EXTENSION_UNAVAILABLE);
        EXPECT_FALSE(qvInitExtension("CHOLMOD"));
        EXPECT_EQ(qvGetError(), QV_ERROR_EXTENSION_UNAVAILABLE);
    }
    for (QVint method : {QV_METHOD_SUPERLU, QV_METHOD_SUPERLU_PERMUTED, QV_METHOD_CHOLMOD}) {
        qvNewContext();
        qvSolverParameteri(QV_PARAM_VARIABLE_COUNT, 1);
        qvSolverParameteri(QV_PARAM_SOLVER, method);
        qvBegin(QV_BLOCK_SYSTEM);
        qvBegin(QV_BLOCK_MATRIX);
        qvBegin(QV_BLOCK_ROW);
        qvCoefficient(0, 2.0);
        qvRightHandSide(1.0);
        qvEnd(QV_BLOCK_ROW);
        qvEnd(QV_BLOCK_MATRIX);
        qvEnd(QV_BLOCK_SYSTEM);
        EXPECT_FALSE(qvSolve());
        EXPECT_EQ(qvGetError(), QV_ERROR_EXTENSION_UNAVAILABLE);
        EXPECT_EQ(qvGetVariable(0), 0.0);
        qvDeleteContext(qvGetCurrent());
    }
}

}  // namespace
