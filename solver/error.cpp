// The last-error slot and the table of error texts.
#include "error.h"

#include "error_list.h"

namespace brisvel {

thread_local ErrorSite last_error_site = {QV_OK, nullptr, 0};

namespace {

thread_local int last_error = QV_OK;  // each thread has its own

struct ErrorText {
    int code;
    const char *text;
};

#define BRISVEL_ERROR_TEXT(code, text) {code, text},
const ErrorText error_texts[] = {BRISVEL_ERRORS(BRISVEL_ERROR_TEXT)};
#undef BRISVEL_ERROR_TEXT

}  // namespace

bool fail(int code) {
    last_error = code;
    return false;
}

int raise_error(int code, const char *function, int line) {
    last_error_site = ErrorSite{code, function, line};
    return code;
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
