// The one list of error codes and their texts, from which the library's text
// table and the tests' list of codes are both made. Each code is defined in
// the public header.
#pragma once

#include <brisvel/brisvel.h>

// clang-format off
#define BRISVEL_ERRORS(X)                                                            \
    X(QV_OK,                          "no error")                                    \
    X(QV_ERROR_NO_CONTEXT,            "no context is current")                       \
    X(QV_ERROR_INVALID_HANDLE,        "the handle is not a live context")            \
    X(QV_ERROR_INVALID_CODE,          "unknown code")                                \
    X(QV_ERROR_INVALID_VALUE,         "argument out of range")                       \
    X(QV_ERROR_INVALID_INDEX,         "variable index out of range")                 \
    X(QV_ERROR_BLOCK_ORDER,           "call not allowed in the current block")       \
    X(QV_ERROR_NOT_FINITE,            "number is NaN or infinite")                   \
    X(QV_ERROR_OUT_OF_MEMORY,         "out of memory")                               \
    X(QV_ERROR_DIMENSION,             "rows do not match the unknowns")              \
    X(QV_ERROR_NOT_CONVERGED,         "iteration limit reached before convergence")  \
    X(QV_ERROR_BREAKDOWN,             "the iterative method broke down")             \
    X(QV_ERROR_SINGULAR,              "the matrix is singular")                      \
    X(QV_ERROR_EXTENSION,             "unknown extension name")                      \
    X(QV_ERROR_EXTENSION_UNAVAILABLE, "extension not available")                     \
    X(QV_ERROR_NOT_SYMMETRIC,         "the method needs a symmetric matrix")         \
    X(QV_ERROR_INTERRUPTED,           "the progress callback stopped the solve")     \
    X(QV_ERROR_INTERNAL,              "internal error in the library")               \
    X(QV_ERROR_BUSY,                  "the context is in use: being solved, or by another thread") \
    X(QV_ERROR_PRECONDITIONER,        "the preconditioner could not be built")        \
    X(QV_ERROR_STAGNATED,             "the residual stopped decreasing above the threshold: more iterations will not help; try another method or preconditioner, or a looser threshold")
// clang-format on
