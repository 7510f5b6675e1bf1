// The coarsest level's exact solve: dense LU with partial pivoting.
#pragma once

#include "kernels/csr.h"

#include <cstdint>
#include <vector>

namespace brisvel {

class DenseLu {
  public:
    // Factors a (square, small); false when it is singular or not finite.
    bool factor(const CsrMatrix &a);
    // x = A^-1 b.
    void solve(const double *b, double *x) const;
    std::size_t size() const { return n_; }

  private:
    std::size_t n_ = 0;
    std::vector<double> lu_;           // L (unit, below) and U, by rows
    std::vector<std::int32_t> pivot_;  // row swapped with row k at step k
};

}  // namespace brisvel
