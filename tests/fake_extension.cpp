// Stand-ins for the extension libraries, built under their real names so the
// loader finds them first. Each flavour is faulty in one way:
//   FAKE_MISSING  every function but one (dgssv, cholmod_solve2), all aborting;
//   FAKE_VERSION  CHOLMOD complete, but reporting a major version it never had;
//   FAKE_FAILING  complete and of a known version, but every factorisation fails.
#include "direct/cholmod_abi.h"
#include "direct/superlu_abi.h"

#include <cstdlib>

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace slu = brisvel::superlu;
namespace chm = brisvel::cholmod;

#if defined(FAKE_SUPERLU)
EXPORT void set_default_options(slu::superlu_options_t *) {}
EXPORT void StatInit(slu::SuperLUStat_t *) {}
EXPORT void StatFree(slu::SuperLUStat_t *) {}
EXPORT void dCreate_CompCol_Matrix(slu::SuperMatrix *a, int m, int n, int, double *, int *, int *,
                                   slu::Stype_t, slu::Dtype_t, slu::Mtype_t) {
    a->nrow = m;
    a->ncol = n;
}
EXPORT void dCreate_Dense_Matrix(slu::SuperMatrix *, int, int, double *, int, slu::Stype_t,
                                 slu::Dtype_t, slu::Mtype_t) {}
EXPORT void Destroy_SuperMatrix_Store(slu::SuperMatrix *) {}
EXPORT void Destroy_SuperNode_Matrix(slu::SuperMatrix *) { std::abort(); }  // never made here
EXPORT void Destroy_CompCol_Matrix(slu::SuperMatrix *) { std::abort(); }
#if !defined(FAKE_MISSING)
EXPORT void dgssv(slu::superlu_options_t *, slu::SuperMatrix *a, int *, int *, slu::SuperMatrix *,
                  slu::SuperMatrix *, slu::SuperMatrix *, slu::SuperLUStat_t *, int *info) {
    *info = a->ncol + 1;  // the memory for the factors could not be had
}
#endif
EXPORT void dgstrs(slu::trans_t, slu::SuperMatrix *, slu::SuperMatrix *, int *, int *,
                   slu::SuperMatrix *, slu::SuperLUStat_t *, int *) {
    std::abort();  // a failed factorisation must never be used
}

#else  // CHOLMOD

EXPORT int cholmod_start(chm::cholmod_common *common) {
    common->status = chm::STATUS_OK;
    return 1;
}
EXPORT int cholmod_finish(chm::cholmod_common *) { return 1; }
EXPORT int cholmod_version(int version[3]) {
#if defined(FAKE_VERSION)
    version[0] = 9;  // a layout the loader does not know
#else
    version[0] = 3;
#endif
    version[1] = version[2] = 0;
    return version[0] * 1000;
}
EXPORT chm::cholmod_factor *cholmod_analyze(chm::cholmod_sparse *, chm::cholmod_common *) {
#if defined(FAKE_FAILING)
    static chm::cholmod_factor factor{};
    return &factor;
#else
    std::abort();
#endif
}
EXPORT int cholmod_factorize(chm::cholmod_sparse *, chm::cholmod_factor *l,
                             chm::cholmod_common *common) {
    common->status = chm::STATUS_OUT_OF_MEMORY;  // and, as CHOLMOD does, still answer true
    l->minor = 0;
    return 1;
}
EXPORT int cholmod_free_factor(chm::cholmod_factor **l, chm::cholmod_common *) {
    *l = nullptr;
    return 1;
}
EXPORT int cholmod_free_dense(chm::cholmod_dense **, chm::cholmod_common *) { std::abort(); }
#if !defined(FAKE_MISSING)
EXPORT int cholmod_solve2(int, chm::cholmod_factor *, chm::cholmod_dense *, chm::cholmod_sparse *,
                          chm::cholmod_dense **, chm::cholmod_sparse **, chm::cholmod_dense **,
                          chm::cholmod_dense **, chm::cholmod_common *) {
    std::abort();  // a failed factorisation must never be used
}
#endif
#endif
