// Sparse LDL' factorisation of a symmetric matrix through CHOLMOD, loaded at
// run time: P A P' = L D L', then x = P' L'^-1 D^-1 L^-1 P b.
#include "direct/backend.h"
#include "direct/cholmod_abi.h"
#include "direct/direct.h"
#include "error.h"

#include <brisvel/brisvel.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <vector>

namespace brisvel {
namespace {

namespace chm = cholmod;

struct Functions {
    chm::cholmod_start_fn start = nullptr;
    chm::cholmod_finish_fn finish = nullptr;
    chm::cholmod_analyze_fn analyze = nullptr;
    chm::cholmod_factorize_fn factorize = nullptr;
    chm::cholmod_solve_fn solve = nullptr;
    chm::cholmod_free_factor_fn free_factor = nullptr;
    chm::cholmod_free_dense_fn free_dense = nullptr;
    chm::cholmod_version_fn version = nullptr;
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

// The functions, and a version whose layout is declared here.
bool resolve(const SharedLibrary &library, Functions &f) {
    return library.find_all("cholmod_start", f.start,              //
                            "cholmod_finish", f.finish,            //
                            "cholmod_analyze", f.analyze,          //
                            "cholmod_factorize", f.factorize,      //
                            "cholmod_solve", f.solve,              //
                            "cholmod_free_factor", f.free_factor,  //
                            "cholmod_free_dense", f.free_dense,    //
                            "cholmod_version", f.version) &&
           known_version(f);
}

Backend<Functions> backend(CANDIDATES, resolve);

// CHOLMOD's workspace, in a zeroed block larger than any version's, set up
// for a silent simplicial LDL' and finished when it goes.
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

// Solves A x = b for a symmetric A; x is written only on success.
int solve(const CsrMatrix &a, const Vector &b, Vector &x) {
    const Functions *found = backend.api();
    if (found == nullptr)
        return QV_ERROR_EXTENSION_UNAVAILABLE;
    const Functions &api = *found;
    if (a.rows != a.cols || b.size() != static_cast<std::size_t>(a.rows) || x.size() != b.size())
        return QV_ERROR_DIMENSION;
    if (a.nonzeros() > INT_MAX)
        return QV_ERROR_OUT_OF_MEMORY;  // the int routines count entries in an int
    const std::size_t n = static_cast<std::size_t>(a.rows);

    // A symmetric matrix's rows are its columns, so the row arrays serve as
    // column arrays. Everything is allocated before CHOLMOD is called.
    std::vector<int> colptr(a.row_ptr.size());
    std::transform(a.row_ptr.begin(), a.row_ptr.end(), colptr.begin(),
                   [](std::int64_t k) { return static_cast<int>(k); });  // fits: checked above
    std::vector<int> rowind(a.col.begin(), a.col.end());
    Vector values = a.val;
    Vector rhs = b;
    CholmodCommon workspace(api);
    chm::cholmod_common *common = workspace.common();

    chm::cholmod_sparse A{};
    A.nrow = A.ncol = n;
    A.nzmax = static_cast<std::size_t>(a.nonzeros());
    A.p = colptr.data();
    A.i = rowind.data();
    A.x = values.data();
    A.stype = 1;  // read the upper triangle; 0 would mean factoring A A'
    A.itype = chm::ITYPE_INT;
    A.xtype = chm::XTYPE_REAL;
    A.dtype = chm::DTYPE_DOUBLE;
    A.sorted = 1;
    A.packed = 1;
    chm::cholmod_dense B{};
    B.nrow = B.nzmax = B.d = n;
    B.ncol = 1;
    B.x = rhs.data();
    B.xtype = chm::XTYPE_REAL;
    B.dtype = chm::DTYPE_DOUBLE;

    chm::cholmod_factor *L = api.analyze(&A, common);  // fill-reducing ordering
    if (L == nullptr)
        return cholmod_error(common->status);
    api.factorize(&A, L, common);
    int code = QV_OK;
    if (common->status < chm::STATUS_OK || L->minor != n) {
        code = cholmod_error(common->status);  // a zero pivot, or no memory
    } else {
        chm::cholmod_dense *X = api.solve(chm::SOLVE_A, L, &B, common);
        if (X == nullptr) {
            code = cholmod_error(common->status);
        } else if (X->x == nullptr || X->nrow != n || X->ncol != 1 || X->d < n ||
                   X->xtype != chm::XTYPE_REAL) {
            code = BRISVEL_ERROR(QV_ERROR_EXTENSION_UNAVAILABLE);  // not the answer asked for
            api.free_dense(&X, common);
        } else {
            const double *solution = static_cast<const double *>(X->x);
            std::copy(solution, solution + n, x.begin());
            api.free_dense(&X, common);
        }
    }
    api.free_factor(&L, common);
    return code;
}

}  // namespace

int load_cholmod() { return backend.load(); }

bool cholmod_loaded() { return backend.api() != nullptr; }

SolveResult cholmod_ldl(const CsrMatrix &a, const Vector &b, Vector &x) {
    return SolveResult{solve(a, b, x), 0, 0.0};
}

}  // namespace brisvel
