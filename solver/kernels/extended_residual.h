// The residual r = b - Ax in extended precision, for when double precision
// cannot tell it from its own rounding.
#pragma once

#include "kernels/csr.h"
#include "kernels/symmetric.h"

namespace brisvel {

// r = b - A x with each row's sum made in extended precision (long double)
// and rounded once to r_i, so that r is right to about a unit in its last
// place however much the terms cancel. Returns a bound on the rounding of
// the sums before that last rounding: (row length + 1) u |A| |x| in
// extended precision's unit u, about 2^11 times below double's.
double residual_extended(const CsrMatrix &a, const double *b, const double *x, double *r);
// The same for a symmetric matrix stored as its upper triangle; one thread.
double residual_extended(const SymmetricCsr &a, const double *b, const double *x, double *r);

}  // namespace brisvel
