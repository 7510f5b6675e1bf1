// The library's last-error slot and the texts of its error codes.
#pragma once

#include <brisvel/brisvel.h>

namespace brisvel {

// Records an error code. Every misuse and failure passes through here, so a
// breakpoint on this function stops at each one. Always returns false.
bool fail(int code);
// Records code when it is not QV_OK; returns true when it is.
inline bool report(int code) { return code == QV_OK || fail(code); }
// The last error code, cleared by the call.
int take_error();
// A short English text; unknown codes get a text too.
const char *error_text(int code);

}  // namespace brisvel
