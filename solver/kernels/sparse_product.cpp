// The product of two sparse matrices, row by row: a count of each row's
// entries, then their values in place.
#include "kernels/sparse_product.h"

#include "kernels/parallel.h"

#include <algorithm>
#include <vector>

namespace brisvel {

CsrMatrix sparse_product(const CsrMatrix &a, const CsrMatrix &b) {
    const auto rows = static_cast<std::size_t>(a.rows), cols = static_cast<std::size_t>(b.cols);
    const std::size_t blocks = (rows + block_size - 1) / block_size;
    const int team = team_size(rows);
    // Each thread keeps, for every column of C, where the row being made
    // holds it (or -1), and the row's terms as they are met.
    struct Term {
        std::int32_t col;
        double val;
    };
    struct alignas(64) Scratch {  // (a line each: the threads write their own)
        std::vector<std::int64_t> slot;
        std::vector<Term> row;
    };
    std::vector<Scratch> scratch(static_cast<std::size_t>(team));
    for (Scratch &s : scratch)
        s.slot.assign(cols, -1);
    // Row i of C, columns ascending, in the thread's scratch: c_ij = sum_m
    // a_im b_mj, the terms in the order of A's row and B's. With values
    // false, its columns alone.
    auto make_row = [&](std::size_t i, Scratch &s, bool values) {
        s.row.clear();
        for (auto k = static_cast<std::size_t>(a.row_ptr[i]);
             k < static_cast<std::size_t>(a.row_ptr[i + 1]); ++k) {
            const auto m = static_cast<std::size_t>(a.col[k]);
            const double a_im = a.val[k];
            for (auto l = static_cast<std::size_t>(b.row_ptr[m]);
                 l < static_cast<std::size_t>(b.row_ptr[m + 1]); ++l) {
                const auto j = static_cast<std::size_t>(b.col[l]);
                if (s.slot[j] < 0) {
                    s.slot[j] = static_cast<std::int64_t>(s.row.size());
                    s.row.push_back(Term{b.col[l], 0.0});
                }
                if (values)
                    s.row[static_cast<std::size_t>(s.slot[j])].val += a_im * b.val[l];
            }
        }
        for (const Term &t : s.row)
            s.slot[static_cast<std::size_t>(t.col)] = -1;
        if (values)
            std::sort(s.row.begin(), s.row.end(),
                      [](const Term &x, const Term &y) { return x.col < y.col; });
    };
    CsrMatrix c;
    c.rows = a.rows;
    c.cols = b.cols;
    c.row_ptr.assign(rows + 1, 0);
    for_blocks(blocks, team, [&](std::size_t block) {
        Scratch &s = scratch[thread_index()];
        for (std::size_t i = block * block_size; i < std::min((block + 1) * block_size, rows);
             ++i) {
            make_row(i, s, false);
            c.row_ptr[i + 1] = static_cast<std::int64_t>(s.row.size());
        }
    });
    for (std::size_t i = 0; i < rows; ++i)
        c.row_ptr[i + 1] += c.row_ptr[i];
    const auto entries = static_cast<std::size_t>(c.row_ptr[rows]);
    c.col.resize(entries);
    c.val.resize(entries);
    for_blocks(blocks, team, [&](std::size_t block) {
        Scratch &s = scratch[thread_index()];
        for (std::size_t i = block * block_size; i < std::min((block + 1) * block_size, rows);
             ++i) {
            make_row(i, s, true);
            auto at = static_cast<std::size_t>(c.row_ptr[i]);
            for (const Term &t : s.row) {
                c.col[at] = t.col;
                c.val[at++] = t.val;
            }
        }
    });
    return c;
}

}  // namespace brisvel
