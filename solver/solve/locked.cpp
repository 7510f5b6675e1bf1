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
    CsrMatrix &m = out.matrix, &c = out.coupling;
    m.rows = c.rows = a.rows;
    m.cols = static_cast<std::int32_t>(out.unknowns.size());
    c.cols = a.cols;
    m.row_ptr.reserve(a.row_ptr.size());
    c.row_ptr.reserve(a.row_ptr.size());
    const std::size_t rows = static_cast<std::size_t>(a.rows);
    for (std::size_t i = 0; i < rows; ++i) {
        const auto row_end = static_cast<std::size_t>(a.row_ptr[i + 1]);
        for (auto k = static_cast<std::size_t>(a.row_ptr[i]); k < row_end; ++k) {
            const std::int32_t j = a.col[k];
            const std::int32_t unknown = unknown_of[static_cast<std::size_t>(j)];
            CsrMatrix &to = unknown < 0 ? c : m;
            to.col.push_back(unknown < 0 ? j : unknown);
            to.val.push_back(a.val[k]);
        }
        m.row_ptr.push_back(static_cast<std::int64_t>(m.col.size()));
        c.row_ptr.push_back(static_cast<std::int64_t>(c.col.size()));
    }
    return out;
}

void reduced_rhs(const ReducedSystem &reduced, const Vector &b, const Vector &values, Vector &out) {
    const CsrMatrix &c = reduced.coupling;
    out.resize(b.size());
    for (std::size_t i = 0; i < b.size(); ++i) {
        double sum = b[i];
        const auto row_end = static_cast<std::size_t>(c.row_ptr[i + 1]);
        for (auto k = static_cast<std::size_t>(c.row_ptr[i]); k < row_end; ++k)
            sum -= c.val[k] * values[static_cast<std::size_t>(c.col[k])];  // b_i -= a_ij x_j
        out[i] = sum;
    }
}

}  // namespace brisvel
