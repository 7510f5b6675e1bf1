// The last-error slot and the table of error texts.
#include "error.h"

#include <brisvel/brisvel.h>

namespace brisvel {
namespace {

int last_error = QV_OK;

struct ErrorText {
    int code;
    const char *text;
};

const ErrorText error_texts[] = {
    {QV_OK, "no error"},
    {QV_ERROR_NO_CONTEXT, "no context is current"},
    {QV_ERROR_INVALID_HANDLE, "the handle is not a live context"},
    {QV_ERROR_INVALID_CODE, "unknown code"},
    {QV_ERROR_INVALID_VALUE, "argument out of range"},
    {QV_ERROR_INVALID_INDEX, "variable index out of range"},
    {QV_ERROR_BLOCK_ORDER, "call not allowed in the current block"},
    {QV_ERROR_NOT_FINITE, "number is NaN or infinite"},
    {QV_ERROR_OUT_OF_MEMORY, "out of memory"},
    {QV_ERROR_DIMENSION, "rows do not match the unknowns"},
    {QV_ERROR_NOT_CONVERGED, "iteration limit reached before convergence"},
    {QV_ERROR_BREAKDOWN, "the iterative method broke down"},
    {QV_ERROR_SINGULAR, "the matrix is singular"},
    {QV_ERROR_EXTENSION, "unknown extension name"},
    {QV_ERROR_EXTENSION_UNAVAILABLE, "extension not available"},
    {QV_ERROR_NOT_SYMMETRIC, "the method needs a symmetric matrix"},
    {QV_ERROR_INTERRUPTED, "the progress callback stopped the solve"},
};

}  // namespace

bool fail(int code) {
    last_error = code;
    return false;
}

int take_error() {
    const int code = last_error;
    last_error = QV_OK;
    return code;
}

const char *error_text(int code) {
    for (const ErrorText &entry : error_texts)
        if (entry.code == code)
            return entry.text;
    return "unknown error code";
}

}  // namespace brisvel
