// Faulty extension libraries: CTest runs each group with the library path
// pointing at fakes built from fake_extension.cpp. A library that lacks a
// function or reports an unknown version is refused; one whose factorisation
// fails makes the solve fail. Nothing crashes and no NaN reaches a variable.
#include <brisvel/brisvel.h>

#include <gtest/gtest.h>

#include <dlfcn.h>

namespace {

// The fakes prove something only when the loader's search finds them first.
void expect_fake(const char *file, const char *marker) {
    void *handle = dlopen(file, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << file << " is not on the library path";
    EXPECT_NE(dlsym(handle, marker), nullptr) << file;
    EXPECT_EQ(dlsym(handle, "dgstrf"), nullptr) << file << " is the real library";
    EXPECT_EQ(dlsym(handle, "cholmod_l_start"), nullptr) << file << " is the real library";
    dlclose(handle);
}

// Solves 2 x = 1 with a direct method; returns qvSolve's answer and the error.
bool solve_one_by_one(QVint method, QVint &error) {
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
    const bool solved = qvSolve();
    error = qvGetError();
    EXPECT_EQ(qvGetVariable(0), 0.0);  // untouched
    qvDeleteContext(qvGetCurrent());
    return solved;
}

TEST(MissingFunction, ProbeAnswersFalseAndDirectSolvesFail) {
    for (const char *file : {"libsuperlu.so.5", "libsuperlu.so.6", "libsuperlu.so.7"})
        expect_fake(file, "set_default_options");
    for (const char *file : {"libcholmod.so.3", "libcholmod.so.4", "libcholmod.so.5"})
        expect_fake(file, "cholmod_start");
    for (int attempt = 0; attempt < 2; ++attempt) {  // a failed probe tries again
        EXPECT_FALSE(qvInitExtension("SUPERLU"));
        EXPECT_EQ(qvGetError(), QV_ERROR_EXTENSION_UNAVAILABLE);
        EXPECT_FALSE(qvInitExtension("CHOLMOD"));
        EXPECT_EQ(qvGetError(), QV_ERROR_EXTENSION_UNAVAILABLE);
    }
    for (QVint method : {QV_METHOD_SUPERLU, QV_METHOD_SUPERLU_PERMUTED, QV_METHOD_CHOLMOD}) {
        QVint error = QV_OK;
        EXPECT_FALSE(solve_one_by_one(method, error));
        EXPECT_EQ(error, QV_ERROR_EXTENSION_UNAVAILABLE);
    }
}

TEST(UnknownVersion, CholmodIsRefused) {
    expect_fake("libcholmod.so.3", "cholmod_version");
    EXPECT_FALSE(qvInitExtension("CHOLMOD"));
    EXPECT_EQ(qvGetError(), QV_ERROR_EXTENSION_UNAVAILABLE);
    QVint error = QV_OK;
    EXPECT_FALSE(solve_one_by_one(QV_METHOD_CHOLMOD, error));
    EXPECT_EQ(error, QV_ERROR_EXTENSION_UNAVAILABLE);
}

TEST(FailingFactorisation, SolvesFailWithTheReason) {
    expect_fake("libsuperlu.so.5", "dgssv");
    expect_fake("libcholmod.so.3", "cholmod_solve2");
    ASSERT_TRUE(qvInitExtension("SUPERLU"));
    ASSERT_TRUE(qvInitExtension("CHOLMOD"));
    for (QVint method : {QV_METHOD_SUPERLU, QV_METHOD_SUPERLU_PERMUTED, QV_METHOD_CHOLMOD}) {
        QVint error = QV_OK;
        EXPECT_FALSE(solve_one_by_one(method, error));
        EXPECT_EQ(error, QV_ERROR_OUT_OF_MEMORY) << qvErrorString(error);
    }
}

}  // namespace
