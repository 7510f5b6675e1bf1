/* A stand-in for an extension library that lacks one function the loader
   needs: built as libsuperlu.so.5 without dgssv (FAKE_SUPERLU) and as
   libcholmod.so.3 without cholmod_solve. The loader must refuse it without
   calling anything, so every function here aborts. */
#include <stdlib.h>

#define STUB(name)                                                                                 \
    __attribute__((visibility("default"))) void name(void);                                        \
    void name(void) { abort(); }

#if defined(FAKE_SUPERLU)
STUB(set_default_options)
STUB(StatInit)
STUB(StatFree)
STUB(dCreate_CompCol_Matrix)
STUB(dCreate_Dense_Matrix)
STUB(Destroy_SuperMatrix_Store)
STUB(Destroy_SuperNode_Matrix)
STUB(Destroy_CompCol_Matrix)
#else
STUB(cholmod_start)
STUB(cholmod_finish)
STUB(cholmod_analyze)
STUB(cholmod_factorize)
STUB(cholmod_free_factor)
STUB(cholmod_free_dense)
STUB(cholmod_version)
#endif
