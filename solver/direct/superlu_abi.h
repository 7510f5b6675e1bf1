// The part of SuperLU's C interface the loader uses, declared here so that the
// build needs no SuperLU headers. Names follow SuperLU's own; the layouts are
// SuperLU 5's, which versions 6 and 7 keep when built with 32-bit indices
// (tests/superlu_abi_test.cpp compares them with the real headers where those
// are installed).
#pragma once

namespace brisvel::superlu {

enum Stype_t { SLU_NC = 0, SLU_DN = 6 };  // column-compressed; dense, column-major
enum Dtype_t { SLU_D = 1 };               // double
enum Mtype_t { SLU_GE = 0 };              // general
enum yes_no_t { NO = 0, YES = 1 };
enum colperm_t {
    NATURAL = 0,
    COLAMD = 3,
    MY_PERMC = 7
};  // column orderings; MY_PERMC: the caller's
enum trans_t { NOTRANS = 0 };

struct SuperMatrix {
    Stype_t Stype;
    Dtype_t Dtype;
    Mtype_t Mtype;
    int nrow;
    int ncol;
    void *Store;
};

struct superlu_options_t {
    int Fact;
    yes_no_t Equil;
    colperm_t ColPerm;
    int Trans;
    int IterRefine;
    double DiagPivotThresh;
    yes_no_t SymmetricMode;
    yes_no_t PivotGrowth;
    yes_no_t ConditionNumber;
    int RowPerm;
    int ILU_DropRule;
    double ILU_DropTol;
    double ILU_FillFactor;
    int ILU_Norm;
    double ILU_FillTol;
    int ILU_MILU;
    double ILU_MILU_Dim;
    yes_no_t ParSymbFact;
    yes_no_t ReplaceTinyPivot;
    yes_no_t SolveInitialized;
    yes_no_t RefineInitialized;
    yes_no_t PrintStat;
    int nnzL, nnzU;
    int num_lookaheads;
    yes_no_t lookahead_etree;
    yes_no_t SymPattern;
};

struct SuperLUStat_t {
    int *panel_histo;
    double *utime;
    void *ops;  // float counts, never read here
    int TinyPivots;
    int RefineSteps;
    int expansions;
};

extern "C" {
using set_default_options_fn = void (*)(superlu_options_t *options);
using StatInit_fn = void (*)(SuperLUStat_t *stat);
using StatFree_fn = void (*)(SuperLUStat_t *stat);
// Wraps the caller's arrays in A without copying them.
using dCreate_CompCol_Matrix_fn = void (*)(SuperMatrix *A, int m, int n, int nnz, double *nzval,
                                           int *rowind, int *colptr, Stype_t stype, Dtype_t dtype,
                                           Mtype_t mtype);
using dCreate_Dense_Matrix_fn = void (*)(SuperMatrix *X, int m, int n, double *x, int ldx,
                                         Stype_t stype, Dtype_t dtype, Mtype_t mtype);
// Factors P_r A P_c = L U and overwrites B with the solution; info 0 on
// success, 1..n for an exactly zero pivot, above n when memory ran out.
using dgssv_fn = void (*)(superlu_options_t *options, SuperMatrix *A, int *perm_c, int *perm_r,
                          SuperMatrix *L, SuperMatrix *U, SuperMatrix *B, SuperLUStat_t *stat,
                          int *info);
// Solves with the factors dgssv made, overwriting B (n x k) with X.
using dgstrs_fn = void (*)(trans_t trans, SuperMatrix *L, SuperMatrix *U, int *perm_c, int *perm_r,
                           SuperMatrix *B, SuperLUStat_t *stat, int *info);
using Destroy_SuperMatrix_Store_fn = void (*)(SuperMatrix *A);
using Destroy_SuperNode_Matrix_fn = void (*)(SuperMatrix *A);
using Destroy_CompCol_Matrix_fn = void (*)(SuperMatrix *A);
}

}  // namespace brisvel::superlu
