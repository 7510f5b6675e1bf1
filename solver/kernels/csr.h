// Compressed sparse row matrices and the kernels that read them.
#pragma once

#include "kernels/large_allocator.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

namespace brisvel {

template <class T> using Array = std::vector<T, LargeAllocator<T>>;
using Vector = Array<double>;

// Rows are stored one after another: the entries of row i are
// col[row_ptr[i] .. row_ptr[i+1]) and val[...], columns ascending and unique.
struct CsrMatrix {
    std::int32_t rows = 0;
    std::int32_t cols = 0;
    Array<std::int64_t> row_ptr{0};
    Array<std::int32_t> col;
    Array<double> val;

    std::int64_t nonzeros() const { return row_ptr.back(); }
};

// A two-norm of non-negative terms accumulated with a running scale, as a
// robust two-norm is, so that no square overflows or underflows. A NaN term
// makes the norm NaN: it never passes for a small one.
class ScaledNorm {
  public:
    void add(double v) {
        if (v > scale_) {
            scaled_sq_ = 1.0 + scaled_sq_ * (scale_ / v) * (scale_ / v);
            scale_ = v;
        } else if (v > 0.0) {
            scaled_sq_ += (v / scale_) * (v / scale_);
        } else if (v != v) {
            scaled_sq_ = v;  // and NaN from here on
        }
    }
    double value() const { return scale_ * std::sqrt(scaled_sq_); }

  private:
    double scale_ = 0.0, scaled_sq_ = 1.0;  // norm = scale * sqrt(scaled_sq)
};

// What norm-wise bounds on products by |A| and |A'| need of a matrix: the
// largest absolute row and column sums, the most entries a row has (plus
// one) and a column has, and sum_i n_i sum_j |a_ij| + nnz over rows of n_i
// entries (the weight of the products that may underflow).
struct MatrixBounds {
    double row_abs_max = 0.0, col_abs_max = 0.0;
    double row_count_max = 0.0;
    std::int64_t col_count_max = 0;
    double underflow_weight = 0.0;
};
MatrixBounds matrix_bounds(const CsrMatrix &a);

// y = A x
void spmv(const CsrMatrix &a, const double *x, double *y);
// Rows [begin, end) of y = A diag(d) x (d null: of A x), left in the caches
// for a pass that reads them next; begin a multiple of 4. With d, the same
// bits as y = A z for z = diag(d) x, without z.
void spmv_rows(const CsrMatrix &a, const double *d, const double *x, double *y, std::size_t begin,
               std::size_t end);
// y = A x, returning (w, y) from the same pass.
double spmv_dot(const CsrMatrix &a, const double *x, double *y, const double *w);
// y = A x, returning {(y, y), (w, y)} from the same pass.
std::array<double, 2> spmv_dots(const CsrMatrix &a, const double *x, double *y, const double *w);
// r = b - A x. Returns a bound on the rounding error of the computed r, so
// that a residual drowned by cancellation (huge x) is never taken as small.
double residual(const CsrMatrix &a, const double *b, const double *x, double *r);
// The farthest any entry lies from the diagonal, |j - i| for a_ij.
std::int64_t row_reach(const CsrMatrix &a);
// The diagonal of a square matrix; entries missing from the pattern are 0.
Vector diagonal(const CsrMatrix &a);
// The transpose, with sorted rows.
CsrMatrix transpose(const CsrMatrix &a);
// True when a equals its transpose exactly.
bool is_symmetric(const CsrMatrix &a);
// True when a is not square, or no row permutation gives it a structurally
// nonzero diagonal: then it is singular whatever its values.
bool structurally_singular(const CsrMatrix &a);

}  // namespace brisvel
