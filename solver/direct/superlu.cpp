// Sparse LU with partial pivoting through SuperLU, loaded at run time:
// P_r A P_c = L U, then x = P_c U^-1 L^-1 P_r b.
#include "direct/backend.h"
#include "direct/direct.h"
#include "direct/superlu_abi.h"

#include <brisvel/brisvel.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <utility>
#include <vector>

namespace brisvel {
namespace {

namespace slu = superlu;

struct Functions {
    slu::set_default_options_fn set_default_options = nullptr;
    slu::StatInit_fn StatInit = nullptr;
    slu::StatFree_fn StatFree = nullptr;
    slu::dCreate_CompCol_Matrix_fn dCreate_CompCol_Matrix = nullptr;
    slu::dCreate_Dense_Matrix_fn dCreate_Dense_Matrix = nullptr;
    slu::dgssv_fn dgssv = nullptr;
    slu::Destroy_SuperMatrix_Store_fn Destroy_SuperMatrix_Store = nullptr;
    slu::Destroy_SuperNode_Matrix_fn Destroy_SuperNode_Matrix = nullptr;
    slu::Destroy_CompCol_Matrix_fn Destroy_CompCol_Matrix = nullptr;
};

// The soname's major version is the only version SuperLU tells.
#if defined(_WIN32)
const char *const CANDIDATES[] = {"superlu.dll", "libsuperlu.dll"};
#else
const char *const CANDIDATES[] = {"libsuperlu.so.5", "libsuperlu.so.6", "libsuperlu.so.7"};
#endif

bool resolve(const SharedLibrary &library, Functions &f) {
    return library.find_all("set_default_options", f.set_default_options,              //
                            "StatInit", f.StatInit,                                    //
                            "StatFree", f.StatFree,                                    //
                            "dCreate_CompCol_Matrix", f.dCreate_CompCol_Matrix,        //
                            "dCreate_Dense_Matrix", f.dCreate_Dense_Matrix,            //
                            "dgssv", f.dgssv,                                          //
                            "Destroy_SuperMatrix_Store", f.Destroy_SuperMatrix_Store,  //
                            "Destroy_SuperNode_Matrix", f.Destroy_SuperNode_Matrix,    //
                            "Destroy_CompCol_Matrix", f.Destroy_CompCol_Matrix);
}

Backend<Functions> backend(CANDIDATES, resolve);

// A structure SuperLU fills in, with room for fields a later version appends.
template <typename T> struct Padded {
    T value;
    unsigned char reserve[256];
};

// Powers of two that bring each row's largest entry into [0.5, 1): exact
// scalings that keep the factorisation far from overflow, where released
// SuperLU picks pivots out of bounds once infinities appear.
Vector row_scales(const CsrMatrix &a) {
    Vector scale(static_cast<std::size_t>(a.rows), 1.0);
    for (std::size_t i = 0; i < scale.size(); ++i) {
        double largest = 0.0;
        const auto row_end = static_cast<std::size_t>(a.row_ptr[i + 1]);
        for (auto k = static_cast<std::size_t>(a.row_ptr[i]); k < row_end; ++k)
            largest = std::fmax(largest, std::fabs(a.val[k]));
        int exponent = 0;
        std::frexp(largest, &exponent);
        if (largest > 0.0)
            scale[i] = std::ldexp(1.0, -exponent);
    }
    return scale;
}

// The error code for dgssv's info: 1..n is an exactly zero pivot U(info, info),
// above n the memory SuperLU failed to get.
int superlu_error(int info, int n) {
    if (info == 0)
        return QV_OK;
    if (info > 0 && info <= n)
        return QV_ERROR_SINGULAR;
    return info > n ? QV_ERROR_OUT_OF_MEMORY : QV_ERROR_INVALID_VALUE;
}

// Solves A x = b; x is written only on success.
int solve(const CsrMatrix &a, const Vector &b, Vector &x, bool permute) {
    const Functions *api = backend.api();
    if (api == nullptr)
        return QV_ERROR_EXTENSION_UNAVAILABLE;
    if (a.rows != a.cols || b.size() != static_cast<std::size_t>(a.rows) || x.size() != b.size())
        return QV_ERROR_DIMENSION;
    if (a.nonzeros() > INT_MAX)
        return QV_ERROR_OUT_OF_MEMORY;  // SuperLU counts entries in an int
    if (structurally_singular(a))
        return QV_ERROR_SINGULAR;  // released SuperLU also writes out of bounds on such a matrix
    const int n = a.rows;

    // Everything is allocated before SuperLU is called, so no exception can
    // leave while SuperLU holds memory.
    CsrMatrix at = transpose(a);  // row j of A' is column j of A
    std::vector<int> colptr(at.row_ptr.size());
    std::transform(at.row_ptr.begin(), at.row_ptr.end(), colptr.begin(),
                   [](std::int64_t k) { return static_cast<int>(k); });  // fits: checked above
    std::vector<int> rowind(at.col.begin(), at.col.end());
    const Vector scale = row_scales(a);
    Vector values = std::move(at.val);
    for (std::size_t k = 0; k < values.size(); ++k)
        values[k] *= scale[static_cast<std::size_t>(rowind[k])];  // D A, D diagonal
    Vector solution(b.size());                                    // dgssv overwrites B with x
    for (std::size_t i = 0; i < b.size(); ++i)
        solution[i] = scale[i] * b[i];  // (D A) x = D b has the same x
    std::vector<int> perm_c(static_cast<std::size_t>(n)), perm_r(static_cast<std::size_t>(n));
    Padded<slu::superlu_options_t> options{};  // zeroed before SuperLU sets its defaults
    Padded<slu::SuperLUStat_t> stat{};
    slu::SuperMatrix A{}, B{}, L{}, U{};

    api->set_default_options(&options.value);
    options.value.ColPerm = permute ? slu::COLAMD : slu::NATURAL;
    options.value.PrintStat = slu::NO;
    api->dCreate_CompCol_Matrix(&A, n, n, static_cast<int>(a.nonzeros()), values.data(),
                                rowind.data(), colptr.data(), slu::SLU_NC, slu::SLU_D, slu::SLU_GE);
    api->dCreate_Dense_Matrix(&B, n, 1, solution.data(), n, slu::SLU_DN, slu::SLU_D, slu::SLU_GE);
    api->StatInit(&stat.value);
    int info = 0;
    api->dgssv(&options.value, &A, perm_c.data(), perm_r.data(), &L, &U, &B, &stat.value, &info);
    if (info >= 0 && info <= n) {  // the factors exist unless memory ran out
        if (L.Store != nullptr)
            api->Destroy_SuperNode_Matrix(&L);
        if (U.Store != nullptr)
            api->Destroy_CompCol_Matrix(&U);
    }
    api->StatFree(&stat.value);
    api->Destroy_SuperMatrix_Store(&A);  // the arrays are ours; only the wrappers go
    api->Destroy_SuperMatrix_Store(&B);

    const int code = superlu_error(info, n);
    if (code == QV_OK)
        x = std::move(solution);
    return code;
}

}  // namespace

int load_superlu() { return backend.load(); }

bool superlu_loaded() { return backend.api() != nullptr; }

SolveResult superlu_natural(const CsrMatrix &a, const Vector &b, Vector &x) {
    return SolveResult{solve(a, b, x, false), 0, 0.0};
}

SolveResult superlu_permuted(const CsrMatrix &a, const Vector &b, Vector &x) {
    return SolveResult{solve(a, b, x, true), 0, 0.0};
}

}  // namespace brisvel
