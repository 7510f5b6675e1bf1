// Maximum transversal: whether a square matrix can have a nonzero on every
// diagonal entry after a row permutation (structural nonsingularity).
#include "kernels/csr.h"

#include <vector>

namespace brisvel {

bool structurally_singular(const CsrMatrix &a) {
    const std::int32_t n = a.rows;
    if (a.cols != n)
        return true;
    std::vector<std::int32_t> row_of(static_cast<std::size_t>(n), -1);  // row matched to a column
    std::vector<std::int32_t> mark(static_cast<std::size_t>(n),
                                   -1);  // last search to visit a column
    std::vector<std::int64_t> cheap(a.row_ptr.begin(), a.row_ptr.end() - 1);  // lookahead per row
    std::vector<std::int32_t> path_rows, path_cols;
    std::vector<std::int64_t> next_entry;
    // The column of entry k, as an index into the arrays kept per column.
    const auto column_of = [&a](std::int64_t k) {
        return static_cast<std::size_t>(a.col[static_cast<std::size_t>(k)]);
    };
    for (std::int32_t start = 0; start < n; ++start) {
        // Depth-first search for an augmenting path: rows alternate with the
        // matched columns that lead to them, until a row has a free column.
        path_rows.assign(1, start);
        next_entry.assign(1, a.row_ptr[static_cast<std::size_t>(start)]);
        path_cols.clear();
        std::int32_t free_col = -1;
        while (!path_rows.empty()) {
            const auto r = static_cast<std::size_t>(path_rows.back());
            for (; cheap[r] < a.row_ptr[r + 1] && free_col < 0; ++cheap[r])
                if (row_of[column_of(cheap[r])] < 0)
                    free_col = a.col[static_cast<std::size_t>(cheap[r])];
            if (free_col >= 0)
                break;
            std::int64_t k = next_entry.back();
            while (k < a.row_ptr[r + 1] && mark[column_of(k)] == start)
                ++k;
            next_entry.back() = k < a.row_ptr[r + 1] ? k + 1 : k;
            if (k < a.row_ptr[r + 1]) {  // go on through a matched column
                const std::int32_t c = a.col[static_cast<std::size_t>(k)];
                const std::size_t c_index = static_cast<std::size_t>(c);
                mark[c_index] = start;
                path_cols.push_back(c);
                path_rows.push_back(row_of[c_index]);
                next_entry.push_back(a.row_ptr[static_cast<std::size_t>(row_of[c_index])]);
            } else {  // a dead end: back up
                path_rows.pop_back();
                next_entry.pop_back();
                if (!path_cols.empty())
                    path_cols.pop_back();
            }
        }
        if (free_col < 0)
            return true;  // row start cannot be matched
        // Flip the matching along the path.
        row_of[static_cast<std::size_t>(free_col)] = path_rows.back();
        for (std::size_t k = 0; k < path_cols.size(); ++k)
            row_of[static_cast<std::size_t>(path_cols[k])] = path_rows[k];
    }
    return false;
}

}  // namespace brisvel
