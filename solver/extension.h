// Optional direct solvers, found at run time.
#pragma once

#include "csr.h"

namespace brisvel {

// Probes for an extension by name; QV_OK when it can be used.
int init_extension(const char *name);
// Solves the square system A x = b with a direct QV_METHOD_* code; QV_OK on
// success, otherwise the reason. x is written only on success.
int solve_direct(int method, const CsrMatrix &a, const Vector &b, Vector &x);
// True for the methods solve_direct handles.
bool is_direct_method(int method);

} // namespace brisvel
