// The loader's declarations of CHOLMOD (solver/cholmod_abi.h) against the
// real headers, where they are installed: sizes, field offsets, constants and
// the functions' parameters.
#include "direct/cholmod_abi.h"

#include <gtest/gtest.h>

#if defined(BRISVEL_HAVE_CHOLMOD_HEADERS)
#include "abi_check.h"

#include <cholmod.h>

namespace {

namespace ours = brisvel::cholmod;

TEST(CholmodDeclarations, TheWorkspaceBlockHoldsTheRealCommon) {
    EXPECT_LE(sizeof(ours::cholmod_common), sizeof(::cholmod_common));
    EXPECT_LE(sizeof(::cholmod_common), ours::COMMON_BLOCK_SIZE);
    EXPECT_GE(CHOLMOD_MAIN_VERSION, 3);
    EXPECT_LE(CHOLMOD_MAIN_VERSION, 5);
}

TEST(CholmodDeclarations, CommonFieldsMatch) {
    EXPECT_SAME_FIELD(ours, cholmod_common, dbound);
    EXPECT_SAME_FIELD(ours, cholmod_common, grow0);
    EXPECT_SAME_FIELD(ours, cholmod_common, grow1);
    EXPECT_SAME_FIELD(ours, cholmod_common, grow2);
    EXPECT_SAME_FIELD(ours, cholmod_common, maxrank);
    EXPECT_SAME_FIELD(ours, cholmod_common, supernodal_switch);
    EXPECT_SAME_FIELD(ours, cholmod_common, supernodal);
    EXPECT_SAME_FIELD(ours, cholmod_common, final_asis);
    EXPECT_SAME_FIELD(ours, cholmod_common, final_super);
    EXPECT_SAME_FIELD(ours, cholmod_common, final_ll);
    EXPECT_SAME_FIELD(ours, cholmod_common, final_pack);
    EXPECT_SAME_FIELD(ours, cholmod_common, final_monotonic);
    EXPECT_SAME_FIELD(ours, cholmod_common, final_resymbol);
    EXPECT_SAME_FIELD(ours, cholmod_common, zrelax);
    EXPECT_SAME_FIELD(ours, cholmod_common, nrelax);
    EXPECT_SAME_FIELD(ours, cholmod_common, prefer_zomplex);
    EXPECT_SAME_FIELD(ours, cholmod_common, prefer_upper);
    EXPECT_SAME_FIELD(ours, cholmod_common, quick_return_if_not_posdef);
    EXPECT_SAME_FIELD(ours, cholmod_common, prefer_binary);
    EXPECT_SAME_FIELD(ours, cholmod_common, print);
    EXPECT_SAME_FIELD(ours, cholmod_common, precise);
    EXPECT_SAME_FIELD(ours, cholmod_common, try_catch);
    EXPECT_SAME_FIELD(ours, cholmod_common, error_handler);
    EXPECT_SAME_FIELD(ours, cholmod_common, nmethods);
    EXPECT_SAME_FIELD(ours, cholmod_common, current);
    EXPECT_SAME_FIELD(ours, cholmod_common, selected);
    EXPECT_SAME_FIELD(ours, cholmod_common, method);
    EXPECT_SAME_FIELD(ours, cholmod_common, postorder);
    EXPECT_SAME_FIELD(ours, cholmod_common, default_nesdis);
    EXPECT_SAME_FIELD(ours, cholmod_common, metis_memory);
    EXPECT_SAME_FIELD(ours, cholmod_common, metis_dswitch);
    EXPECT_SAME_FIELD(ours, cholmod_common, metis_nswitch);
    EXPECT_SAME_FIELD(ours, cholmod_common, nrow);
    EXPECT_SAME_FIELD(ours, cholmod_common, mark);
    EXPECT_SAME_FIELD(ours, cholmod_common, iworksize);
    EXPECT_SAME_FIELD(ours, cholmod_common, xworksize);
    EXPECT_SAME_FIELD(ours, cholmod_common, Flag);
    EXPECT_SAME_FIELD(ours, cholmod_common, Head);
    EXPECT_SAME_FIELD(ours, cholmod_common, Xwork);
    EXPECT_SAME_FIELD(ours, cholmod_common, Iwork);
    EXPECT_SAME_FIELD(ours, cholmod_common, itype);
    EXPECT_SAME_FIELD(ours, cholmod_common, dtype);
    EXPECT_SAME_FIELD(ours, cholmod_common, no_workspace_reallocate);
    EXPECT_SAME_FIELD(ours, cholmod_common, status);
}

TEST(CholmodDeclarations, MatrixAndFactorFieldsMatch) {
    EXPECT_EQ(sizeof(ours::cholmod_sparse), sizeof(::cholmod_sparse));
    EXPECT_SAME_FIELD(ours, cholmod_sparse, nrow);
    EXPECT_SAME_FIELD(ours, cholmod_sparse, ncol);
    EXPECT_SAME_FIELD(ours, cholmod_sparse, nzmax);
    EXPECT_SAME_FIELD(ours, cholmod_sparse, p);
    EXPECT_SAME_FIELD(ours, cholmod_sparse, i);
    EXPECT_SAME_FIELD(ours, cholmod_sparse, nz);
    EXPECT_SAME_FIELD(ours, cholmod_sparse, x);
    EXPECT_SAME_FIELD(ours, cholmod_sparse, z);
    EXPECT_SAME_FIELD(ours, cholmod_sparse, stype);
    EXPECT_SAME_FIELD(ours, cholmod_sparse, itype);
    EXPECT_SAME_FIELD(ours, cholmod_sparse, xtype);
    EXPECT_SAME_FIELD(ours, cholmod_sparse, dtype);
    EXPECT_SAME_FIELD(ours, cholmod_sparse, sorted);
    EXPECT_SAME_FIELD(ours, cholmod_sparse, packed);

    EXPECT_EQ(sizeof(ours::cholmod_dense), sizeof(::cholmod_dense));
    EXPECT_SAME_FIELD(ours, cholmod_dense, nrow);
    EXPECT_SAME_FIELD(ours, cholmod_dense, ncol);
    EXPECT_SAME_FIELD(ours, cholmod_dense, nzmax);
    EXPECT_SAME_FIELD(ours, cholmod_dense, d);
    EXPECT_SAME_FIELD(ours, cholmod_dense, x);
    EXPECT_SAME_FIELD(ours, cholmod_dense, z);
    EXPECT_SAME_FIELD(ours, cholmod_dense, xtype);
    EXPECT_SAME_FIELD(ours, cholmod_dense, dtype);

    EXPECT_SAME_FIELD(ours, cholmod_factor, n);
    EXPECT_SAME_FIELD(ours, cholmod_factor, minor);
}

TEST(CholmodDeclarations, ConstantsMatch) {
    EXPECT_EQ(ours::ITYPE_INT, CHOLMOD_INT);
    EXPECT_EQ(ours::XTYPE_REAL, CHOLMOD_REAL);
    EXPECT_EQ(ours::DTYPE_DOUBLE, CHOLMOD_DOUBLE);
    EXPECT_EQ(ours::STATUS_OK, CHOLMOD_OK);
    EXPECT_EQ(ours::STATUS_OUT_OF_MEMORY, CHOLMOD_OUT_OF_MEMORY);
    EXPECT_EQ(ours::STATUS_TOO_LARGE, CHOLMOD_TOO_LARGE);
    EXPECT_EQ(ours::SIMPLICIAL, CHOLMOD_SIMPLICIAL);
    EXPECT_EQ(ours::AUTO, CHOLMOD_AUTO);
    EXPECT_EQ(ours::STATUS_NOT_POSDEF, CHOLMOD_NOT_POSDEF);
    EXPECT_EQ(ours::SOLVE_A, CHOLMOD_A);
    EXPECT_EQ(ours::MAX_METHODS, CHOLMOD_MAXMETHODS);
    EXPECT_EQ(ours::ORDERING_AMD, CHOLMOD_AMD);
}

TEST(CholmodDeclarations, FunctionsTakeTheSameArguments) {
    EXPECT_SAME_SIGNATURE(ours, cholmod_start);
    EXPECT_SAME_SIGNATURE(ours, cholmod_finish);
    EXPECT_SAME_SIGNATURE(ours, cholmod_analyze);
    EXPECT_SAME_SIGNATURE(ours, cholmod_factorize);
    EXPECT_SAME_SIGNATURE(ours, cholmod_solve2);
    EXPECT_SAME_SIGNATURE(ours, cholmod_free_factor);
    EXPECT_SAME_SIGNATURE(ours, cholmod_free_dense);
    EXPECT_SAME_SIGNATURE(ours, cholmod_version);
}

}  // namespace

#else

TEST(CholmodDeclarations, NeedTheRealHeaders) {
    GTEST_SKIP() << "CHOLMOD's headers are not installed (Debian: libsuitesparse-dev)";
}

#endif
