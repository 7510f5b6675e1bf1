// Incomplete LU with a drop tolerance, a fill limit and column pivoting (ILUTP), after Saad.
#include "precond/ilut.h"

#include "kernels/vector_ops.h"

#include <brisvel/brisvel.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>

namespace brisvel {
namespace {

// One row of a factor while it is being made: columns of B (not yet
// positions) and values.
struct Rows {
    std::vector<std::int64_t> ptr{0};
    std::vector<std::int32_t> col;
    std::vector<double> val;
};

// The positions left of the diagonal still to eliminate in a row, taken
// least first; each one pushed lies after the last taken. A sorted run while
// they are few, where inserting beats a heap's sifting (a KKT matrix's
// factorisation: 1.36 ms to 1.18), and a heap once they are many, so that a
// row with thousands of them costs n log n, not n^2.
class Pending {
  public:
    bool empty() const { return next_ == v_.size(); }
    void push(std::int32_t p) {
        if (heap_) {
            v_.push_back(p);
            std::push_heap(v_.begin(), v_.end(), std::greater<>());
            return;
        }
        v_.insert(std::upper_bound(v_.begin() + static_cast<std::ptrdiff_t>(next_), v_.end(), p),
                  p);
        if (v_.size() - next_ > sorted_most) {  // too many for a sorted run
            v_.erase(v_.begin(), v_.begin() + static_cast<std::ptrdiff_t>(next_));
            next_ = 0;
            std::make_heap(v_.begin(), v_.end(), std::greater<>());
            heap_ = true;
        }
    }
    std::int32_t pop() {
        if (!heap_)
            return v_[next_++];
        std::pop_heap(v_.begin(), v_.end(), std::greater<>());
        const std::int32_t p = v_.back();
        v_.pop_back();
        return p;
    }
    void clear() {
        v_.clear();
        next_ = 0;
        heap_ = false;
    }

  private:
    static constexpr std::size_t sorted_most = 64;
    std::vector<std::int32_t> v_;
    std::size_t next_ = 0;  // a sorted run's first position not taken
    bool heap_ = false;
};

// Keeps the `keep` columns of cols whose entries of w are largest in magnitude.
void keep_largest(std::vector<std::int32_t> &cols, std::size_t keep, const std::vector<double> &w) {
    if (cols.size() <= keep)
        return;
    const auto larger = [&w](std::int32_t p, std::int32_t q) {
        return std::fabs(w[static_cast<std::size_t>(p)]) >
               std::fabs(w[static_cast<std::size_t>(q)]);
    };
    std::nth_element(cols.begin(), cols.begin() + static_cast<std::ptrdiff_t>(keep), cols.end(),
                     larger);
    cols.resize(keep);
}

// One triangle of the factor in the sweeps' form, its columns turned to
// positions and sorted; scale(i, j, value) gives the entry of row i.
template <class Scale>
CsrMatrix to_triangle(const Rows &rows, const std::vector<std::int32_t> &position_of, Scale scale) {
    const std::size_t n = position_of.size();
    CsrMatrix h;
    h.rows = h.cols = static_cast<std::int32_t>(n);
    h.row_ptr.assign(rows.ptr.begin(), rows.ptr.end());
    h.col.resize(rows.col.size());
    h.val.resize(rows.col.size());
    std::vector<std::pair<std::int32_t, double>> row;
    for (std::size_t i = 0; i < n; ++i) {
        row.clear();
        for (auto k = static_cast<std::size_t>(rows.ptr[i]);
             k < static_cast<std::size_t>(rows.ptr[i + 1]); ++k) {
            const std::int32_t j = position_of[static_cast<std::size_t>(rows.col[k])];
            row.emplace_back(j, scale(i, static_cast<std::size_t>(j), rows.val[k]));
        }
        std::sort(row.begin(), row.end());
        auto at = static_cast<std::size_t>(rows.ptr[i]);
        for (const auto &[j, value] : row) {
            h.col[at] = j;
            h.val[at++] = value;
        }
    }
    return h;
}

// The factor in the sweeps' form, folded as finish() folds it: s_i = 1 / u_ii,
// s_i l_ij u_jj below the diagonal and u_ij / u_ii above it.
void to_factor(const Rows &l, const Rows &u, const std::vector<double> &pivot,
               const std::vector<std::int32_t> &position_of, TriangularFactor &t) {
    t.s.resize(pivot.size());
    for (std::size_t i = 0; i < pivot.size(); ++i)
        t.s[i] = 1.0 / pivot[i];
    t.c = 1.0;
    t.lower = to_triangle(l, position_of, [&](std::size_t i, std::size_t j, double v) {
        return t.s[i] * v * pivot[j];
    });
    t.upper = to_triangle(u, position_of,
                          [&](std::size_t i, std::size_t, double v) { return v * t.s[i]; });
}

}  // namespace

// Row by row (the IKJ order): the row of B is scattered into w, its entries
// left of the diagonal eliminated in the order of their positions by the
// rows of U above, entries below drop * ||b_i|| dropped, and the largest
// p of each of L and U kept, p = (fill * nnz(B) / n - 1) / 2. A column
// right of the diagonal whose entry exceeds the diagonal's by the factor
// 1 / pivot swaps places with it. The factor's columns stay B's columns
// until the end, as later swaps move only positions after the current row.
IlutFactor ilutp(const CsrMatrix &b, const IlutSettings &settings) {
    const std::size_t n = static_cast<std::size_t>(b.rows);
    IlutFactor out;
    const double per_row =
        settings.fill * static_cast<double>(b.nonzeros()) / static_cast<double>(n);
    const auto keep = static_cast<std::size_t>(std::max(0.0, std::floor((per_row - 1.0) / 2.0)));
    std::vector<std::int32_t> position_of(n), &col_at = out.col_at;
    col_at.resize(n);
    for (std::size_t i = 0; i < n; ++i)
        position_of[i] = col_at[i] = static_cast<std::int32_t>(i);
    std::vector<double> w(n, 0.0), pivot(n, 0.0);
    std::vector<char> present(n, 0);
    std::vector<std::int32_t> cols, part;  // the columns of w's entries, and those kept
    Pending left;
    Rows l, u;
    l.col.reserve(static_cast<std::size_t>(b.nonzeros()));
    l.val.reserve(l.col.capacity());
    u.col.reserve(l.col.capacity());
    u.val.reserve(l.col.capacity());
    for (std::size_t i = 0; i < n; ++i) {
        ScaledNorm norm;
        for (std::int64_t k = b.row_ptr[i]; k < b.row_ptr[i + 1]; ++k) {
            const auto j = b.col.data()[k];
            w[static_cast<std::size_t>(j)] = b.val.data()[k];
            present[static_cast<std::size_t>(j)] = 1;
            cols.push_back(j);
            norm.add(std::fabs(b.val.data()[k]));
            if (static_cast<std::size_t>(position_of[static_cast<std::size_t>(j)]) < i)
                left.push(position_of[static_cast<std::size_t>(j)]);
        }
        const double tol = settings.drop * norm.value();
        if (!(norm.value() > 0.0))
            return {QV_ERROR_PRECONDITIONER, {}, {}, 0};  // an empty row: B is singular
        while (!left.empty()) {                           // eliminate w_k, k < i, by row k of U
            const auto k = static_cast<std::size_t>(left.pop());
            double &wk = w[static_cast<std::size_t>(col_at[k])];
            wk /= pivot[k];  // l_ik = w_k / u_kk
            if (std::fabs(wk) < tol) {
                wk = 0.0;  // dropped, and its update with it
                continue;
            }
            for (std::int64_t q = u.ptr[k]; q < u.ptr[k + 1]; ++q) {
                const auto j = static_cast<std::size_t>(u.col[static_cast<std::size_t>(q)]);
                if (!present[j]) {
                    present[j] = 1;
                    cols.push_back(static_cast<std::int32_t>(j));
                    if (static_cast<std::size_t>(position_of[j]) < i)
                        left.push(position_of[j]);
                }
                w[j] -= wk * u.val[static_cast<std::size_t>(q)];  // w_j -= l_ik u_kj
            }
        }
        // Split the columns: L's (positions before i) first, then U's.
        const auto split = std::partition(cols.begin(), cols.end(), [&](std::int32_t j) {
            return static_cast<std::size_t>(position_of[static_cast<std::size_t>(j)]) < i;
        });
        const auto in_l = static_cast<std::size_t>(split - cols.begin());
        for (std::int32_t j : cols)
            if (!std::isfinite(w[static_cast<std::size_t>(j)]))
                return {QV_ERROR_PRECONDITIONER, {}, {}, 0};    // growth past the range of double
        std::int32_t diagonal = col_at[i], largest = diagonal;  // the pivot's column
        for (std::size_t q = in_l; q < cols.size(); ++q)
            if (std::fabs(w[static_cast<std::size_t>(cols[q])]) >
                std::fabs(w[static_cast<std::size_t>(largest)]))
                largest = cols[q];
        if (std::fabs(w[static_cast<std::size_t>(diagonal)]) <
            settings.pivot * std::fabs(w[static_cast<std::size_t>(largest)])) {
            const auto p = static_cast<std::size_t>(position_of[static_cast<std::size_t>(largest)]);
            std::swap(col_at[i], col_at[p]);
            position_of[static_cast<std::size_t>(col_at[i])] = static_cast<std::int32_t>(i);
            position_of[static_cast<std::size_t>(col_at[p])] = static_cast<std::int32_t>(p);
            diagonal = largest;
        }
        pivot[i] = w[static_cast<std::size_t>(diagonal)];
        if (!(std::fabs(pivot[i]) > std::numeric_limits<double>::epsilon() * norm.value()))
            return {QV_ERROR_PRECONDITIONER, {}, {}, 0};  // a zero or tiny pivot
        // Drop the small entries, then keep the largest p of each part.
        const auto store = [&](std::size_t from, std::size_t to, Rows &rows) {
            part.clear();
            for (std::size_t q = from; q < to; ++q) {
                const double v = std::fabs(w[static_cast<std::size_t>(cols[q])]);
                if (cols[q] != diagonal && v != 0.0 && v >= tol)
                    part.push_back(cols[q]);
            }
            keep_largest(part, keep, w);
            for (std::int32_t j : part) {
                rows.col.push_back(j);
                rows.val.push_back(w[static_cast<std::size_t>(j)]);
            }
            rows.ptr.push_back(static_cast<std::int64_t>(rows.col.size()));
        };
        store(0, in_l, l);
        store(in_l, cols.size(), u);
        for (std::int32_t j : cols) {
            w[static_cast<std::size_t>(j)] = 0.0;
            present[static_cast<std::size_t>(j)] = 0;
        }
        cols.clear();
        left.clear();
    }
    out.entries = static_cast<std::int64_t>(l.col.size() + u.col.size() + n);
    to_factor(l, u, pivot, position_of, out.t);
    if (!all_finite(out.t.lower.val.size(), out.t.lower.val.data()) ||
        !all_finite(out.t.upper.val.size(), out.t.upper.val.data()) ||
        !all_finite(n, out.t.s.data()))
        return {QV_ERROR_PRECONDITIONER, {}, {}, 0};  // a folded entry overflowed
    schedule(out.t);
    out.code = QV_OK;
    return out;
}

}  // namespace brisvel
