// The sizes of a matrix that norm-wise bounds on its products need, from one pass.
#include "kernels/csr.h"

#include <algorithm>
#include <cmath>

namespace brisvel {

MatrixBounds matrix_bounds(const CsrMatrix &a) {
    MatrixBounds m;
    const auto cols = static_cast<std::size_t>(a.cols), rows = static_cast<std::size_t>(a.rows);
    struct Column {
        double abs, count;  // sum |a_ij| and the entries (exact below 2^53)
    };
    Array<Column> column(cols, Column{0.0, 0.0});  // both in one line of memory
    double weight = static_cast<double>(a.nonzeros());
    for (std::size_t i = 0; i < rows; ++i) {
        const auto row_begin = static_cast<std::size_t>(a.row_ptr[i]),
                   row_end = static_cast<std::size_t>(a.row_ptr[i + 1]);
        double row_abs = 0.0;
        for (std::size_t k = row_begin; k < row_end; ++k) {
            const auto j = static_cast<std::size_t>(a.col[k]);
            const double size = std::fabs(a.val[k]);
            row_abs += size;
            column[j].abs += size;
            column[j].count += 1.0;
        }
        m.row_abs_max = std::max(m.row_abs_max, row_abs);
        m.row_count_max = std::max(m.row_count_max, static_cast<double>(row_end - row_begin + 1));
        weight += static_cast<double>(row_end - row_begin) * row_abs;
    }
    double col_count_max = 0.0;
    for (std::size_t j = 0; j < cols; ++j) {
        m.col_abs_max = std::max(m.col_abs_max, column[j].abs);
        col_count_max = std::max(col_count_max, column[j].count);
    }
    m.col_count_max = static_cast<std::int64_t>(col_count_max);
    m.underflow_weight = weight;
    return m;
}

}  // namespace brisvel
