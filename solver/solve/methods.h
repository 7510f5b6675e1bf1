// The table of solver methods: what each QV_METHOD_* code runs.
#pragma once

#include "direct/direct.h"
#include "krylov/krylov.h"

namespace brisvel {

enum class MethodKind { Iterative, Direct };

struct Method {
    int code;  // its QV_METHOD_* code
    MethodKind kind;
    KrylovMethod iterative;  // set for an iterative method
    DirectMethod direct;     // set for a direct one
    bool needs_symmetry;     // refuses a nonsymmetric matrix with QV_ERROR_NOT_SYMMETRIC
    bool (*available)();     // for a direct method: whether its extension has loaded
};

// The method a QV_METHOD_* code runs, QV_METHOD_DEFAULT standing for the
// default of the mode; null for an unknown code.
const Method *find_method(int code, bool least_squares);

}  // namespace brisvel
