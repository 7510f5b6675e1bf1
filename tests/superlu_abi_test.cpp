// The loader's declarations of SuperLU (solver/superlu_abi.h) against the
// real headers, where they are installed: sizes, field offsets, constants and
// the functions' parameters.
#include "direct/superlu_abi.h"

#include <gtest/gtest.h>

#if defined(BRISVEL_HAVE_SUPERLU_HEADERS)
#include "abi_check.h"

#include <slu_ddefs.h>

namespace {

namespace ours = brisvel::superlu;

TEST(SuperLuDeclarations, StructuresMatch) {
    EXPECT_EQ(sizeof(ours::SuperMatrix), sizeof(::SuperMatrix));
    EXPECT_SAME_FIELD(ours, SuperMatrix, Stype);
    EXPECT_SAME_FIELD(ours, SuperMatrix, Dtype);
    EXPECT_SAME_FIELD(ours, SuperMatrix, Mtype);
    EXPECT_SAME_FIELD(ours, SuperMatrix, nrow);
    EXPECT_SAME_FIELD(ours, SuperMatrix, ncol);
    EXPECT_SAME_FIELD(ours, SuperMatrix, Store);

    EXPECT_EQ(sizeof(ours::superlu_options_t), sizeof(::superlu_options_t));
    EXPECT_SAME_FIELD(ours, superlu_options_t, Fact);
    EXPECT_SAME_FIELD(ours, superlu_options_t, Equil);
    EXPECT_SAME_FIELD(ours, superlu_options_t, ColPerm);
    EXPECT_SAME_FIELD(ours, superlu_options_t, Trans);
    EXPECT_SAME_FIELD(ours, superlu_options_t, IterRefine);
    EXPECT_SAME_FIELD(ours, superlu_options_t, DiagPivotThresh);
    EXPECT_SAME_FIELD(ours, superlu_options_t, SymmetricMode);
    EXPECT_SAME_FIELD(ours, superlu_options_t, PivotGrowth);
    EXPECT_SAME_FIELD(ours, superlu_options_t, ConditionNumber);
    EXPECT_SAME_FIELD(ours, superlu_options_t, RowPerm);
    EXPECT_SAME_FIELD(ours, superlu_options_t, ILU_DropRule);
    EXPECT_SAME_FIELD(ours, superlu_options_t, ILU_DropTol);
    EXPECT_SAME_FIELD(ours, superlu_options_t, ILU_FillFactor);
    EXPECT_SAME_FIELD(ours, superlu_options_t, ILU_Norm);
    EXPECT_SAME_FIELD(ours, superlu_options_t, ILU_FillTol);
    EXPECT_SAME_FIELD(ours, superlu_options_t, ILU_MILU);
    EXPECT_SAME_FIELD(ours, superlu_options_t, ILU_MILU_Dim);
    EXPECT_SAME_FIELD(ours, superlu_options_t, ParSymbFact);
    EXPECT_SAME_FIELD(ours, superlu_options_t, ReplaceTinyPivot);
    EXPECT_SAME_FIELD(ours, superlu_options_t, SolveInitialized);
    EXPECT_SAME_FIELD(ours, superlu_options_t, RefineInitialized);
    EXPECT_SAME_FIELD(ours, superlu_options_t, PrintStat);
    EXPECT_SAME_FIELD(ours, superlu_options_t, nnzL);
    EXPECT_SAME_FIELD(ours, superlu_options_t, nnzU);
    EXPECT_SAME_FIELD(ours, superlu_options_t, num_lookaheads);
    EXPECT_SAME_FIELD(ours, superlu_options_t, lookahead_etree);
    EXPECT_SAME_FIELD(ours, superlu_options_t, SymPattern);

    EXPECT_EQ(sizeof(ours::SuperLUStat_t), sizeof(::SuperLUStat_t));
    EXPECT_SAME_FIELD(ours, SuperLUStat_t, panel_histo);
    EXPECT_SAME_FIELD(ours, SuperLUStat_t, utime);
    EXPECT_SAME_FIELD(ours, SuperLUStat_t, ops);
    EXPECT_SAME_FIELD(ours, SuperLUStat_t, TinyPivots);
    EXPECT_SAME_FIELD(ours, SuperLUStat_t, RefineSteps);
    EXPECT_SAME_FIELD(ours, SuperLUStat_t, expansions);
}

TEST(SuperLuDeclarations, ConstantsMatch) {
    EXPECT_EQ(static_cast<int>(ours::SLU_NC), static_cast<int>(::SLU_NC));
    EXPECT_EQ(static_cast<int>(ours::SLU_DN), static_cast<int>(::SLU_DN));
    EXPECT_EQ(static_cast<int>(ours::SLU_D), static_cast<int>(::SLU_D));
    EXPECT_EQ(static_cast<int>(ours::SLU_GE), static_cast<int>(::SLU_GE));
    EXPECT_EQ(static_cast<int>(ours::NO), static_cast<int>(::NO));
    EXPECT_EQ(static_cast<int>(ours::YES), static_cast<int>(::YES));
    EXPECT_EQ(static_cast<int>(ours::NATURAL), static_cast<int>(::NATURAL));
    EXPECT_EQ(static_cast<int>(ours::COLAMD), static_cast<int>(::COLAMD));
    EXPECT_EQ(static_cast<int>(ours::MY_PERMC), static_cast<int>(::MY_PERMC));
    EXPECT_EQ(static_cast<int>(ours::NOTRANS), static_cast<int>(::NOTRANS));
    EXPECT_EQ(sizeof(ours::Stype_t), sizeof(::Stype_t));
    EXPECT_EQ(sizeof(int_t), sizeof(int));  // the loader passes int indices
}

TEST(SuperLuDeclarations, FunctionsTakeTheSameArguments) {
    EXPECT_SAME_SIGNATURE(ours, set_default_options);
    EXPECT_SAME_SIGNATURE(ours, StatInit);
    EXPECT_SAME_SIGNATURE(ours, StatFree);
    EXPECT_SAME_SIGNATURE(ours, dCreate_CompCol_Matrix);
    EXPECT_SAME_SIGNATURE(ours, dCreate_Dense_Matrix);
    EXPECT_SAME_SIGNATURE(ours, dgssv);
    EXPECT_SAME_SIGNATURE(ours, dgstrs);
    EXPECT_SAME_SIGNATURE(ours, Destroy_SuperMatrix_Store);
    EXPECT_SAME_SIGNATURE(ours, Destroy_SuperNode_Matrix);
    EXPECT_SAME_SIGNATURE(ours, Destroy_CompCol_Matrix);
}

}  // namespace

#else

TEST(SuperLuDeclarations, NeedTheRealHeaders) {
    GTEST_SKIP() << "SuperLU's headers are not installed (Debian: libsuperlu-dev)";
}

#endif
