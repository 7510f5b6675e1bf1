// Sparse Cholesky factorisation of a symmetric matrix through CHOLMOD, loaded
// at run time: P A P' = L L' (supernodal, on BLAS) where A proves positive
// definite, else L D L' without pivoting; then x = P' L'^-1 (D^-1) L^-1 P b.
#include "direct/backend.h"
#include "direct/cholmod_abi.h"
#include "direct/direct.h"
#include "error.h"

#include <brisvel/brisvel.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

namespace brisvel {
namespace {

namespace chm = cholmod;

struct Functions {
    chm::cholmod_start_fn start = nullptr;
    chm::cholmod_finish_fn finish = nullptr;
    chm::cholmod_analyze_fn analyze = nullptr;
    chm::cholmod_factorize_fn factorize = nullptr;
    chm::cholmod_solve2_fn solve = nullptr;
    chm::cholmod_free_factor_fn free_factor = nullptr;
    chm::cholmod_free_dense_fn free_dense = nullptr;
    chm::cholmod_version_fn version = nullptr;
    bool tuned_blas = false;  // CHOLMOD's BLAS is OpenBLAS, MKL or BLIS, not the reference one
};

#if defined(_WIN32)
const char *const CANDIDATES[] = {"cholmod.dll", "libcholmod.dll"};
#else
const char *const CANDIDATES[] = {"libcholmod.so.3", "libcholmod.so.4", "libcholmod.so.5"};
#endif

// The declared layout holds for the major versions 3 to 5.
bool known_version(const Functions &f) {
    int version[3] = {0, 0, 0};
    f.version(version);
    return version[0] >= 3 && version[0] <= 5;
}

// Whether the BLAS that CHOLMOD's supernodal factors would run on is a tuned
// one: a function only such a library exports, looked up through CHOLMOD's
// own dependencies (on Windows only CHOLMOD's own exports are searched, so
// none is found there). On the reference BLAS the supernodal factor is
// slower than the simplicial one: 1.65 s against 1.19 s for 157,822 unknowns
// of a mesh's normal equations, where OpenBLAS takes 0.68 s.
bool tuned_blas(const SharedLibrary &library) {
    void (*probe)() = nullptr;
    for (const char *name :
         {"openblas_get_num_threads", "mkl_get_max_threads", "bli_info_get_version_str"})
        if (library.find(name, probe))
            return true;
    return false;
}

// The functions, and a version whose layout is declared here.
bool resolve(const SharedLibrary &library, Functions &f) {
    f.tuned_blas = tuned_blas(library);
    return library.find_all("cholmod_start", f.start,              //
                            "cholmod_finish", f.finish,            //
                            "cholmod_analyze", f.analyze,          //
                            "cholmod_factorize", f.factorize,      //
                            "cholmod_solve2", f.solve,             //
                            "cholmod_free_factor", f.free_factor,  //
                            "cholmod_free_dense", f.free_dense,    //
                            "cholmod_version", f.version) &&
           known_version(f);
}

Backend<Functions> backend(CANDIDATES, resolve);

// CHOLMOD's workspace, in a zeroed block larger than any version's, set up
// for a silent factorisation that keeps L D L' where it is simplicial, and
// finished when it goes.
class CholmodCommon {
  public:
    explicit CholmodCommon(const Functions &api)
        : api_(api), block_(chm::COMMON_BLOCK_SIZE / sizeof(Word)) {
        api_.start(common());
        common()->print = 0;  // the default prints warnings
        common()->supernodal = chm::SIMPLICIAL;
        common()->final_ll = 0;  // keep L D L': no square roots of negative pivots
        common()->nmethods = 1;  // AMD alone: the default also tries nested dissection,
        common()->method[0].ordering = chm::ORDERING_AMD;  // slower and rarely better here
    }
    ~CholmodCommon() { api_.finish(common()); }
    CholmodCommon(const CholmodCommon &) = delete;
    CholmodCommon &operator=(const CholmodCommon &) = delete;

    chm::cholmod_common *common() { return reinterpret_cast<chm::cholmod_common *>(block_.data()); }

  private:
    using Word = std::max_align_t;
    const Functions &api_;
    std::vector<Word> block_;
};

// The error code for a failed CHOLMOD call.
int cholmod_error(int status) {
    return status == chm::STATUS_OUT_OF_MEMORY || status == chm::STATUS_TOO_LARGE
               ? QV_ERROR_OUT_OF_MEMORY
               : QV_ERROR_SINGULAR;
}

// P A P' = L L' or L D L' of a symmetric matrix, with the arrays CHOLMOD
// reads A from and its workspace, all kept for further solves and
// refactorisations. With a tuned BLAS, a matrix whose diagonal is positive
// is first given to CHOLMOD's own choice, a supernodal L L' for the larger
// factors (the normal equations of least squares always are positive
// semi-definite): its dense blocks run on BLAS. When a pivot is not positive
// there, A is analysed again for a simplicial L D L', which takes indefinite
// matrices.
class CholmodFactor final : public Factorisation {
  public:
    explicit CholmodFactor(const Functions &api) : api_(api), workspace_(api) {}
    ~CholmodFactor() override {
        for (chm::cholmod_dense **dense : {&x_, &y_, &e_})
            if (*dense != nullptr)
                api_.free_dense(dense, workspace_.common());
        if (l_ != nullptr)
            api_.free_factor(&l_, workspace_.common());
    }
    CholmodFactor(const CholmodFactor &) = delete;
    CholmodFactor &operator=(const CholmodFactor &) = delete;

    // Analyses and factors a.
    int factor(const CsrMatrix &a) {
        // A symmetric matrix's rows are its columns, so the row arrays serve
        // as column arrays. Everything is allocated before CHOLMOD is called.
        colptr_.resize(a.row_ptr.size());
        std::transform(a.row_ptr.begin(), a.row_ptr.end(), colptr_.begin(),
                       [](std::int64_t k) { return static_cast<int>(k); });  // fits: checked
        rowind_.assign(a.col.begin(), a.col.end());
        values_ = a.val;
        mode_ = api_.tuned_blas && positive_diagonal() ? chm::AUTO : chm::SIMPLICIAL;
        return analyse_and_factor();
    }

    int refactor(const CsrMatrix &a) override {
        if (l_ == nullptr || a.val.size() != values_.size())
            return BRISVEL_ERROR(QV_ERROR_INTERNAL);
        std::copy(a.val.begin(), a.val.end(), values_.begin());
        chm::cholmod_sparse A = view();
        const int code = numeric(A);  // the ordering and the analysis stand
        if (code != QV_OK && not_positive_definite()) {
            mode_ = chm::SIMPLICIAL;
            return analyse_and_factor();
        }
        return code;
    }

    int solve(const double *b, double *x, std::size_t k) override {
        const std::size_t n = colptr_.size() - 1;
        chm::cholmod_common *common = workspace_.common();
        chm::cholmod_dense B{};
        B.nrow = B.d = n;
        B.ncol = k;
        B.nzmax = n * k;
        B.x = const_cast<double *>(b);  // read only
        B.xtype = chm::XTYPE_REAL;
        B.dtype = chm::DTYPE_DOUBLE;
        // X and the workspace stay for the next solve, which then maps no
        // fresh memory.
        if (api_.solve(chm::SOLVE_A, l_, &B, nullptr, &x_, nullptr, &y_, &e_, common) == 0 ||
            x_ == nullptr)
            return cholmod_error(common->status);
        if (x_->x == nullptr || x_->nrow != n || x_->ncol != k || x_->d < n ||
            x_->xtype != chm::XTYPE_REAL)
            return BRISVEL_ERROR(QV_ERROR_EXTENSION_UNAVAILABLE);  // not the answer asked for
        const double *solution = static_cast<const double *>(x_->x);
        for (std::size_t s = 0; s < k; ++s)
            std::copy(solution + s * x_->d, solution + s * x_->d + n, x + s * n);
        return QV_OK;
    }

  private:
    // Whether every diagonal entry of the kept arrays is above zero (missing counts as zero).
    bool positive_diagonal() const {
        for (std::size_t i = 0; i + 1 < colptr_.size(); ++i) {
            bool positive = false;
            for (auto k = static_cast<std::size_t>(colptr_[i]);
                 k < static_cast<std::size_t>(colptr_[i + 1]); ++k)
                positive =
                    positive || (static_cast<std::size_t>(rowind_[k]) == i && values_[k] > 0.0);
            if (!positive)
                return false;
        }
        return true;
    }

    // True when the last factorisation was an L L' that met a pivot not above zero.
    bool not_positive_definite() {
        return mode_ != chm::SIMPLICIAL && workspace_.common()->status == chm::STATUS_NOT_POSDEF;
    }

    // The ordering and analysis for mode_, and the numeric factorisation;
    // an L L' that fails for want of positive definiteness gives way to L D L'.
    int analyse_and_factor() {
        chm::cholmod_common *common = workspace_.common();
        common->supernodal = mode_;
        chm::cholmod_sparse A = view();
        l_ = api_.analyze(&A, common);  // fill-reducing ordering
        if (l_ == nullptr)
            return cholmod_error(common->status);
        const int code = numeric(A);
        if (code != QV_OK && not_positive_definite()) {
            mode_ = chm::SIMPLICIAL;
            return analyse_and_factor();
        }
        return code;
    }

    // A as CHOLMOD reads it: the upper triangle of the kept arrays.
    chm::cholmod_sparse view() {
        chm::cholmod_sparse A{};
        A.nrow = A.ncol = colptr_.size() - 1;
        A.nzmax = values_.size();
        A.p = colptr_.data();
        A.i = rowind_.data();
        A.x = values_.data();
        A.stype = 1;  // read the upper triangle; 0 would mean factoring A A'
        A.itype = chm::ITYPE_INT;
        A.xtype = chm::XTYPE_REAL;
        A.dtype = chm::DTYPE_DOUBLE;
        A.sorted = 1;
        A.packed = 1;
        return A;
    }

    // The numeric factorisation of A into the analysed factor.
    int numeric(chm::cholmod_sparse &A) {
        chm::cholmod_common *common = workspace_.common();
        api_.factorize(&A, l_, common);
        if (common->status < chm::STATUS_OK || l_->minor != A.nrow) {
            const int code = cholmod_error(common->status);  // a zero pivot, or no memory
            api_.free_factor(&l_, common);
            return code;
        }
        return QV_OK;
    }

    const Functions &api_;
    CholmodCommon workspace_;
    std::vector<int> colptr_, rowind_;
    Vector values_;
    int mode_ = chm::SIMPLICIAL;  // CHOLMOD's supernodal setting for the analysis
    chm::cholmod_factor *l_ = nullptr;
    chm::cholmod_dense *x_ = nullptr, *y_ = nullptr, *e_ = nullptr;  // kept for the next solve
};

}  // namespace

int load_cholmod() { return backend.load(); }

bool cholmod_loaded() { return backend.api() != nullptr; }

BuiltFactorisation cholmod_ldl(const CsrMatrix &a) {
    const Functions *api = backend.api();
    if (api == nullptr)
        return {QV_ERROR_EXTENSION_UNAVAILABLE, nullptr};
    if (a.rows != a.cols)
        return {QV_ERROR_DIMENSION, nullptr};
    if (a.nonzeros() > INT_MAX)
        return {QV_ERROR_OUT_OF_MEMORY, nullptr};  // the int routines count entries in an int
    auto factor = std::make_unique<CholmodFactor>(*api);
    const int code = factor->factor(a);
    if (code != QV_OK)
        return {code, nullptr};
    return {QV_OK, std::move(factor)};
}

}  // namespace brisvel
