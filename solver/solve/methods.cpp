// The table of solver methods, one row each, and the defaults.
#include "solve/methods.h"

#include <brisvel/brisvel.h>

namespace brisvel {
namespace {

constexpr MethodKind iterative = MethodKind::Iterative;
constexpr MethodKind direct = MethodKind::Direct;
constexpr MethodKind normal = MethodKind::Normal;
constexpr Mode square = Mode::Square;
constexpr Mode least_squares = Mode::LeastSquares;
constexpr Mode both = Mode::Both;

// In least-squares mode BiCGStab, GMRES and the direct methods solve the
// formed normal equations A'A x = A'b; LSMR (the default) and CGLS (asked for
// as CG) never form A'A, unless forming it pays (normal_matrix_pays), when
// both run CG on it: on its upper triangle alone, when the preconditioner
// allows and A'A's rows stay near the diagonal.
const Method methods[] = {
    // clang-format off
    // code                       mode           kind       iterative           upper               direct            normal  symmetric  available
    {QV_METHOD_DEFAULT,           least_squares, normal,    conjugate_gradient, conjugate_gradient, nullptr,          lsmr,   false,     nullptr},
    {QV_METHOD_BICGSTAB,          both,          iterative, bicgstab,           nullptr,            nullptr,          nullptr, false,    nullptr},
    {QV_METHOD_GMRES,             both,          iterative, gmres,              nullptr,            nullptr,          nullptr, false,    nullptr},
    {QV_METHOD_CG,                square,        iterative, conjugate_gradient, nullptr,            nullptr,          nullptr, false,    nullptr},
    {QV_METHOD_CG,                least_squares, normal,    conjugate_gradient, conjugate_gradient, nullptr,          cgls,   false,     nullptr},
    {QV_METHOD_SUPERLU,           both,          direct,    nullptr,            nullptr,            superlu_natural,  nullptr, false,    superlu_loaded},
    {QV_METHOD_SUPERLU_PERMUTED,  both,          direct,    nullptr,            nullptr,            superlu_permuted, nullptr, false,    superlu_loaded},
    {QV_METHOD_CHOLMOD,           both,          direct,    nullptr,            nullptr,            cholmod_ldl,      nullptr, true,     cholmod_loaded},
    // clang-format on
};

// What QV_METHOD_DEFAULT stands for in a square system; in least squares
// it has a row of its own, LSMR.
constexpr int default_square = QV_METHOD_BICGSTAB;

}  // namespace

const Method *find_method(int code, bool least_squares_mode) {
    if (code == QV_METHOD_DEFAULT && !least_squares_mode)
        code = default_square;
    const Mode mode = least_squares_mode ? least_squares : square;
    for (const Method &method : methods)
        if (method.code == code && (method.mode == mode || method.mode == both))
            return &method;
    return nullptr;
}

}  // namespace brisvel
