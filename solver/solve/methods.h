// The table of solver methods: what each QV_METHOD_* code runs.
#pragma once

#include "direct/direct.h"
#include "krylov/krylov.h"
#include "krylov/least_squares.h"

namespace brisvel {

// Iterative and direct methods solve a square matrix: in least-squares mode
// the formed A'A. Normal methods solve least squares with A and A' alone.
enum class MethodKind { Iterative, Direct, Normal };
// The modes a row serves.
enum class Mode { Square, LeastSquares, Both };

struct Method {
    int code;  // its QV_METHOD_* code
    Mode mode;
    MethodKind kind;
    KrylovMethod iterative;       // set for an iterative method; for a normal one, what
                                  // runs on A'A when forming it pays (normal_matrix_pays)
    SymmetricKrylovMethod upper;  // for a normal one, the same on A'A's upper triangle
    DirectMethod direct;          // set for a direct one
    NormalMethod normal;          // set for a normal one
    bool needs_symmetry;          // refuses a nonsymmetric matrix with QV_ERROR_NOT_SYMMETRIC
    bool (*available)();          // for a direct method: whether its extension has loaded
};

// The method a QV_METHOD_* code runs in a mode, QV_METHOD_DEFAULT standing
// for the default of the mode; null for an unknown code.
const Method *find_method(int code, bool least_squares);

}  // namespace brisvel
