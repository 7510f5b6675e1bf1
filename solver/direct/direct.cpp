// Probing for the optional direct-solver extensions and dispatching to them.
#include "direct/direct.h"

#include <brisvel/brisvel.h>

#include <cstring>

namespace brisvel {

int init_extension(const char *name) {
    if (name == nullptr)
        return QV_ERROR_EXTENSION;
    if (std::strcmp(name, "SUPERLU") == 0)
        return load_superlu();
    if (std::strcmp(name, "CHOLMOD") == 0)
        return load_cholmod();
    return QV_ERROR_EXTENSION;
}

bool is_direct_method(int method) {
    return method == QV_METHOD_SUPERLU || method == QV_METHOD_SUPERLU_PERMUTED ||
           method == QV_METHOD_CHOLMOD;
}

int solve_direct(int method, const CsrMatrix &a, const Vector &b, Vector &x) {
    switch (method) {
    case QV_METHOD_SUPERLU:
        return superlu_solve(a, b, x, false);
    case QV_METHOD_SUPERLU_PERMUTED:
        return superlu_solve(a, b, x, true);
    case QV_METHOD_CHOLMOD:
        return cholmod_solve(a, b, x);
    default:
        return QV_ERROR_INVALID_CODE;
    }
}

}  // namespace brisvel
