// Sparse LU with partial pivoting through SuperLU, loaded at run time:
// P_r A P_c = L U, then x = P_c U^-1 L^-1 P_r b.
#include "direct/backend.h"
#include "direct/direct.h"
#include "direct/superlu_abi.h"
#include "error.h"

#include <brisvel/brisvel.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <memory>
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
    slu::dgstrs_fn dgstrs = nullptr;
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
                            "dgstrs", f.dgstrs,                                        //
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

// P_r (D A) P_c = L U, D the row scales, with the factors, the orderings
// and the arrays SuperLU reads A from, all kept for further solves and
// refactorisations.
class SuperLuFactor final : public Factorisation {
  public:
    SuperLuFactor(const Functions &api, bool permute) : api_(api), permute_(permute) {}
    ~SuperLuFactor() override { free_factors(); }
    SuperLuFactor(const SuperLuFactor &) = delete;
    SuperLuFactor &operator=(const SuperLuFactor &) = delete;

    // Orders (unless in the natural order) and factors a.
    int factor(const CsrMatrix &a) {
        const auto n = static_cast<std::size_t>(a.rows);
        perm_c_.assign(n, 0);
        perm_r_.assign(n, 0);
        return numeric(a, permute_ ? slu::COLAMD : slu::NATURAL);
    }

    int refactor(const CsrMatrix &a) override {
        free_factors();
        return numeric(a, slu::MY_PERMC);  // the column ordering stands
    }

    int solve(const double *b, double *x, std::size_t k) override {
        const std::size_t n = scale_.size();
        Vector &solution = solution_;  // dgstrs overwrites B with X; kept for the next solve
        solution.resize(n * k);
        for (std::size_t s = 0; s < k; ++s)
            for (std::size_t i = 0; i < n; ++i)
                solution[s * n + i] = scale_[i] * b[s * n + i];  // (D A) x = D b has the same x
        Padded<slu::SuperLUStat_t> stat{};
        slu::SuperMatrix B{};
        const int rows = static_cast<int>(n);
        api_.dCreate_Dense_Matrix(&B, rows, static_cast<int>(k), solution.data(), rows, slu::SLU_DN,
                                  slu::SLU_D, slu::SLU_GE);
        api_.StatInit(&stat.value);
        int info = 0;
        api_.dgstrs(slu::NOTRANS, &l_, &u_, perm_c_.data(), perm_r_.data(), &B, &stat.value, &info);
        api_.StatFree(&stat.value);
        api_.Destroy_SuperMatrix_Store(&B);
        if (info != 0)
            return BRISVEL_ERROR(QV_ERROR_INTERNAL);
        std::copy(solution.begin(), solution.begin() + static_cast<std::ptrdiff_t>(n * k), x);
        return QV_OK;
    }

  private:
    // Factors a with the column ordering colperm asks for (MY_PERMC: perm_c_).
    int numeric(const CsrMatrix &a, slu::colperm_t colperm) {
        const int n = a.rows;
        // Everything is allocated before SuperLU is called, so no exception
        // can leave while SuperLU holds memory.
        CsrMatrix at = transpose(a);  // row j of A' is column j of A
        colptr_.resize(at.row_ptr.size());
        std::transform(at.row_ptr.begin(), at.row_ptr.end(), colptr_.begin(),
                       [](std::int64_t k) { return static_cast<int>(k); });  // fits: checked
        rowind_.assign(at.col.begin(), at.col.end());
        scale_ = row_scales(a);
        values_ = std::move(at.val);
        for (std::size_t k = 0; k < values_.size(); ++k)
            values_[k] *= scale_[static_cast<std::size_t>(rowind_[k])];  // D A, D diagonal
        Vector zeros(static_cast<std::size_t>(n));  // dgssv solves for one B: zeros, cheaply
        Padded<slu::superlu_options_t> options{};   // zeroed before SuperLU sets its defaults
        Padded<slu::SuperLUStat_t> stat{};
        slu::SuperMatrix A{}, B{};

        api_.set_default_options(&options.value);
        options.value.ColPerm = colperm;
        options.value.PrintStat = slu::NO;
        api_.dCreate_CompCol_Matrix(&A, n, n, static_cast<int>(a.nonzeros()), values_.data(),
                                    rowind_.data(), colptr_.data(), slu::SLU_NC, slu::SLU_D,
                                    slu::SLU_GE);
        api_.dCreate_Dense_Matrix(&B, n, 1, zeros.data(), n, slu::SLU_DN, slu::SLU_D, slu::SLU_GE);
        api_.StatInit(&stat.value);
        int info = 0;
        api_.dgssv(&options.value, &A, perm_c_.data(), perm_r_.data(), &l_, &u_, &B, &stat.value,
                   &info);
        factored_ = info >= 0 && info <= n;  // the factors exist unless memory ran out
        api_.StatFree(&stat.value);
        api_.Destroy_SuperMatrix_Store(&A);  // the arrays are ours; only the wrappers go
        api_.Destroy_SuperMatrix_Store(&B);
        const int code = superlu_error(info, n);
        if (code != QV_OK)
            free_factors();
        return code;
    }

    void free_factors() {
        if (factored_) {
            if (l_.Store != nullptr)
                api_.Destroy_SuperNode_Matrix(&l_);
            if (u_.Store != nullptr)
                api_.Destroy_CompCol_Matrix(&u_);
        }
        l_ = slu::SuperMatrix{};
        u_ = slu::SuperMatrix{};
        factored_ = false;
    }

    const Functions &api_;
    bool permute_;
    std::vector<int> colptr_, rowind_, perm_c_, perm_r_;
    Vector values_, scale_, solution_;
    slu::SuperMatrix l_{}, u_{};
    bool factored_ = false;  // l_ and u_ hold SuperLU's factors
};

// Factors a in the natural column order or a fill-reducing one.
BuiltFactorisation make_factor(const CsrMatrix &a, bool permute) {
    const Functions *api = backend.api();
    if (api == nullptr)
        return {QV_ERROR_EXTENSION_UNAVAILABLE, nullptr};
    if (a.rows != a.cols)
        return {QV_ERROR_DIMENSION, nullptr};
    if (a.nonzeros() > INT_MAX)
        return {QV_ERROR_OUT_OF_MEMORY, nullptr};  // SuperLU counts entries in an int
    if (structurally_singular(a))
        return {QV_ERROR_SINGULAR, nullptr};  // released SuperLU also writes out of bounds then
    auto factor = std::make_unique<SuperLuFactor>(*api, permute);
    const int code = factor->factor(a);
    if (code != QV_OK)
        return {code, nullptr};
    return {QV_OK, std::move(factor)};
}

}  // namespace

int load_superlu() { return backend.load(); }

bool superlu_loaded() { return backend.api() != nullptr; }

BuiltFactorisation superlu_natural(const CsrMatrix &a) { return make_factor(a, false); }

BuiltFactorisation superlu_permuted(const CsrMatrix &a) { return make_factor(a, true); }

}  // namespace brisvel
