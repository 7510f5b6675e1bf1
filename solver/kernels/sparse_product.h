// Products of two sparse matrices in compressed rows.
#pragma once

#include "kernels/csr.h"

namespace brisvel {

// C = A B (A m x k, B k x n), columns ascending. Each row of C is made by
// one thread, its terms added in the order of A's row and, within each of
// its entries, of B's row: the same bits on any team. Throws std::bad_alloc
// when memory runs out.
CsrMatrix sparse_product(const CsrMatrix &a, const CsrMatrix &b);

}  // namespace brisvel
