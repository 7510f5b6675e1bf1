// The part of CHOLMOD's C interface the loader uses, declared here so that the
// build needs no CHOLMOD headers. Names follow CHOLMOD's own, for the
// 32-bit-index routines of CHOLMOD 3 to 5. The workspace object grew between
// versions, so only its leading fields, which kept their places, are declared,
// and it is always given CommonBlockSize bytes (tests/cholmod_abi_test.cpp
// compares all this with the real headers where those are installed).
#pragma once

#include <cstddef>
#include <cstdint>

namespace brisvel::cholmod {

constexpr int ITYPE_INT = 0;     // int indices
constexpr int XTYPE_REAL = 1;    // real values
constexpr int DTYPE_DOUBLE = 0;  // in double precision
constexpr int STATUS_OK = 0;
constexpr int STATUS_OUT_OF_MEMORY = -2;
constexpr int STATUS_TOO_LARGE = -3;
constexpr int STATUS_NOT_POSDEF = 1;  // a warning: L L' met a pivot not above zero
constexpr int SIMPLICIAL = 0;         // supernodal: never a supernodal factor
constexpr int AUTO = 1;               // supernodal where the flops per entry of L are many
constexpr int SOLVE_A = 0;            // solve A x = b
constexpr int MAX_METHODS = 9;
constexpr int ORDERING_AMD = 2;                  // approximate minimum degree
constexpr std::size_t COMMON_BLOCK_SIZE = 4096;  // the largest known cholmod_common is 2688 bytes

struct cholmod_method_struct {
    double lnz;
    double fl;
    double prune_dense;
    double prune_dense2;
    double nd_oksep;
    double other_1[4];
    std::size_t nd_small;
    std::size_t other_2[4];
    int aggressive;
    int order_for_lu;
    int nd_compress;
    int nd_camd;
    int nd_components;
    int ordering;
    std::size_t other_3[4];
};

// The leading fields of cholmod_common, up to the status of the last call.
struct cholmod_common {
    double dbound;
    double grow0;
    double grow1;
    std::size_t grow2;
    std::size_t maxrank;
    double supernodal_switch;
    int supernodal;
    int final_asis;
    int final_super;
    int final_ll;
    int final_pack;
    int final_monotonic;
    int final_resymbol;
    double zrelax[3];
    std::size_t nrelax[3];
    int prefer_zomplex;
    int prefer_upper;
    int quick_return_if_not_posdef;
    int prefer_binary;
    int print;
    int precise;
    int try_catch;
    void (*error_handler)(int status, const char *file, int line, const char *message);
    int nmethods;
    int current;
    int selected;
    cholmod_method_struct method[MAX_METHODS + 1];
    int postorder;
    int default_nesdis;
    double metis_memory;
    double metis_dswitch;
    std::size_t metis_nswitch;
    std::size_t nrow;
    std::int64_t mark;
    std::size_t iworksize;
    std::size_t xworksize;
    void *Flag;
    void *Head;
    void *Xwork;
    void *Iwork;
    int itype;
    int dtype;
    int no_workspace_reallocate;
    int status;
};

struct cholmod_sparse {
    std::size_t nrow;
    std::size_t ncol;
    std::size_t nzmax;
    void *p;   // column pointers
    void *i;   // row indices
    void *nz;  // null: the matrix is packed
    void *x;
    void *z;
    int stype;  // > 0: only the upper triangle is read
    int itype;
    int xtype;
    int dtype;
    int sorted;
    int packed;
};

struct cholmod_dense {
    std::size_t nrow;
    std::size_t ncol;
    std::size_t nzmax;
    std::size_t d;  // leading dimension
    void *x;
    void *z;
    int xtype;
    int dtype;
};

// The leading fields of a factor; CHOLMOD allocates and frees it.
struct cholmod_factor {
    std::size_t n;
    std::size_t minor;  // n when the factorisation succeeded, else the failing column
};

extern "C" {
using cholmod_start_fn = int (*)(cholmod_common *common);
using cholmod_finish_fn = int (*)(cholmod_common *common);
using cholmod_analyze_fn = cholmod_factor *(*)(cholmod_sparse *a, cholmod_common *common);
// Returns true even when it fails: the status and L->minor tell.
using cholmod_factorize_fn = int (*)(cholmod_sparse *a, cholmod_factor *l, cholmod_common *common);
// Solves into *x, reusing *x and the workspace *y and *e when their sizes
// fit (and allocating them otherwise); bset and xset null for a dense b.
using cholmod_solve2_fn = int (*)(int system, cholmod_factor *l, cholmod_dense *b,
                                  cholmod_sparse *bset, cholmod_dense **x, cholmod_sparse **xset,
                                  cholmod_dense **y, cholmod_dense **e, cholmod_common *common);
using cholmod_free_factor_fn = int (*)(cholmod_factor **l, cholmod_common *common);
using cholmod_free_dense_fn = int (*)(cholmod_dense **x, cholmod_common *common);
// Writes main, sub and patch version; returns a combined code.
using cholmod_version_fn = int (*)(int version[3]);
}

}  // namespace brisvel::cholmod
