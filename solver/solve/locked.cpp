// Elimination of locked variables: their terms move to the right-hand side.
#include "solve/solve.h"

namespace brisvel {

ReducedSystem reduce_locked(const Context &ctx) {
    ReducedSystem out;
    const CsrMatrix &a = ctx.matrix;
    std::vector<std::int32_t> unknown_of(ctx.locked.size(), -1);
    for (std::size_t j = 0; j < ctx.locked.size(); ++j) {
        if (!ctx.locked[j]) {
            unknown_of[j] = static_cast<std::int32_t>(out.unknowns.size());
            out.unknowns.push_back(static_cast<std::int32_t>(j));
        }
    }
    if (out.unknowns.size() == ctx.locked.size())
        return out;
    out.matrix.rows = a.rows;
    out.matrix.cols = static_cast<std::int32_t>(out.unknowns.size());
    out.matrix.row_ptr.reserve(a.row_ptr.size());
    out.rhs = ctx.rhs;
    const std::size_t rows = static_cast<std::size_t>(a.rows);
    for (std::size_t i = 0; i < rows; ++i) {
        const auto row_end = static_cast<std::size_t>(a.row_ptr[i + 1]);
        for (auto k = static_cast<std::size_t>(a.row_ptr[i]); k < row_end; ++k) {
            const auto j = static_cast<std::size_t>(a.col[k]);
            if (unknown_of[j] < 0) {
                out.rhs[i] -= a.val[k] * ctx.values[j];  // b_i -= a_ij x_j for locked x_j
            } else {
                out.matrix.col.push_back(unknown_of[j]);
                out.matrix.val.push_back(a.val[k]);
            }
        }
        out.matrix.row_ptr.push_back(static_cast<std::int64_t>(out.matrix.col.size()));
    }
    return out;
}

}  // namespace brisvel
