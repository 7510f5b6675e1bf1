// Probing for the optional direct-solver extensions.
#include "extension.h"

#include <brisvel/brisvel.h>

#include <cstring>

namespace brisvel {

int init_extension(const char *name) {
    if (name == nullptr || (std::strcmp(name, "SUPERLU") != 0 && std::strcmp(name, "CHOLMOD") != 0))
        return QV_ERROR_EXTENSION;
    return QV_ERROR_EXTENSION_UNAVAILABLE;  // this build loads no extension
}

bool is_direct_method(int method) {
    return method == QV_METHOD_SUPERLU || method == QV_METHOD_SUPERLU_PERMUTED ||
           method == QV_METHOD_CHOLMOD;
}

int solve_direct(int, const CsrMatrix &, const Vector &, Vector &) {
    return QV_ERROR_EXTENSION_UNAVAILABLE;
}

} // namespace brisvel
