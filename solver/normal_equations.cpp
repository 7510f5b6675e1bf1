// The normal matrix A'A of a least-squares problem, by a row-by-row sparse product.
#include "system.h"

#include <algorithm>

namespace brisvel {

CsrMatrix normal_matrix(const CsrMatrix &a) {
    const CsrMatrix at = transpose(a);  // row j of A' lists the rows of A that use column j
    CsrMatrix n;
    n.rows = n.cols = a.cols;
    n.row_ptr.reserve(static_cast<std::size_t>(a.cols) + 1);
    std::vector<std::int64_t> slot(static_cast<std::size_t>(a.cols), -1);  // position in row j
    std::vector<std::pair<std::int32_t, double>> row;
    for (std::int32_t j = 0; j < a.cols; ++j) {
        const std::int64_t start = static_cast<std::int64_t>(n.col.size());
        for (std::int64_t k = at.row_ptr[j]; k < at.row_ptr[j + 1]; ++k) {
            const std::int32_t i = at.col[k];
            const double a_ij = at.val[k];
            for (std::int64_t l = a.row_ptr[i]; l < a.row_ptr[i + 1]; ++l) {
                const std::int32_t c = a.col[l];
                if (slot[c] < start) {  // first contribution to (j, c) in this row
                    slot[c] = static_cast<std::int64_t>(n.col.size());
                    n.col.push_back(c);
                    n.val.push_back(0.0);
                }
                n.val[slot[c]] += a_ij * a.val[l];  // (A'A)_jc += a_ij a_ic
            }
        }
        // Sort the row by column, carrying the values along.
        const std::size_t first = static_cast<std::size_t>(start), count = n.col.size() - first;
        row.resize(count);
        for (std::size_t k = 0; k < count; ++k)
            row[k] = {n.col[first + k], n.val[first + k]};
        std::sort(row.begin(), row.end());
        for (std::size_t k = 0; k < count; ++k) {
            n.col[first + k] = row[k].first;
            n.val[first + k] = row[k].second;
        }
        n.row_ptr.push_back(static_cast<std::int64_t>(n.col.size()));
    }
    return n;
}

} // namespace brisvel
