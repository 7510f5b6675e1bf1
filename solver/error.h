// The library's last-error slot, the texts of its error codes, and the one
// helper through which internal failures pass.
#pragma once

#include <brisvel/brisvel.h>

namespace brisvel {

// Records an error code at the interface. Every misuse and failure reaches
// the caller through here, so a breakpoint on this function stops at each
// one. Always returns false.
bool fail(int code);
// Records code when it is not QV_OK; returns true when it is.
inline bool report(int code) { return code == QV_OK || fail(code); }
// The last error code, cleared by the call.
int take_error();
// A short English text; unknown codes get a text too.
const char *error_text(int code);

// Where an internal failure was last found: readable in a debugger.
struct ErrorSite {
    int code;
    const char *function;
    int line;
};
extern thread_local ErrorSite last_error_site;
// Notes where an internal failure arose and returns its code; a breakpoint
// here stops where the error starts, not only where it leaves the library.
int raise_error(int code, const char *function, int line);

}  // namespace brisvel

// Returns an error code from inside the library: BRISVEL_ERROR(QV_ERROR_...).
#define BRISVEL_ERROR(code) ::brisvel::raise_error((code), __func__, __LINE__)
