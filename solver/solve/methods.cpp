// The table of solver methods, one row each, and the defaults.
#include "solve/methods.h"

#include <brisvel/brisvel.h>

namespace brisvel {
namespace {

constexpr MethodKind iterative = MethodKind::Iterative;
constexpr MethodKind direct = MethodKind::Direct;

const Method methods[] = {
    // clang-format off
    // code                       kind       iterative           direct            symmetric  available
    {QV_METHOD_BICGSTAB,          iterative, bicgstab,           nullptr,          false,     nullptr},
    {QV_METHOD_GMRES,             iterative, gmres,              nullptr,          false,     nullptr},
    {QV_METHOD_CG,                iterative, conjugate_gradient, nullptr,          false,     nullptr},
    {QV_METHOD_SUPERLU,           direct,    nullptr,            superlu_natural,  false,     superlu_loaded},
    {QV_METHOD_SUPERLU_PERMUTED,  direct,    nullptr,            superlu_permuted, false,     superlu_loaded},
    {QV_METHOD_CHOLMOD,           direct,    nullptr,            cholmod_ldl,      true,      cholmod_loaded},
    // clang-format on
};

// What QV_METHOD_DEFAULT stands for in each mode.
constexpr int default_square = QV_METHOD_BICGSTAB;
constexpr int default_least_squares = QV_METHOD_CG;

}  // namespace

const Method *find_method(int code, bool least_squares) {
    if (code == QV_METHOD_DEFAULT)
        code = least_squares ? default_least_squares : default_square;
    for (const Method &method : methods)
        if (method.code == code)
            return &method;
    return nullptr;
}

}  // namespace brisvel
