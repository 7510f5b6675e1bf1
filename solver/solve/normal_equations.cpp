// The normal matrix A'A of a least-squares problem, by a row-by-row sparse product.
#include "kernels/parallel.h"
#include "solve/solve.h"

#include <algorithm>
#include <utility>

namespace brisvel {
namespace {

using Term = std::pair<std::int32_t, double>;  // a column of A'A and one contribution to it

// The rows of A that use each column, in ascending order: A's pattern
// transposed, without its values (4 bytes an entry where a transpose with
// them takes 12).
struct ColumnRows {
    Array<std::int64_t> start;  // column j's rows are row[start[j] .. start[j + 1])
    Array<std::int32_t> row;
};

ColumnRows column_rows(const CsrMatrix &a) {
    ColumnRows t;
    const std::size_t cols = static_cast<std::size_t>(a.cols);
    t.start.assign(cols + 1, 0);
    for (std::int32_t c : a.col)
        ++t.start[static_cast<std::size_t>(c) + 1];  // count the entries of each column
    for (std::size_t j = 0; j < cols; ++j)
        t.start[j + 1] += t.start[j];
    t.row.resize(a.col.size());
    for (std::int32_t i = 0; i < a.rows; ++i) {  // start[j] runs on to where column j + 1 starts
        const auto row = static_cast<std::size_t>(i);
        const auto row_end = static_cast<std::size_t>(a.row_ptr[row + 1]);
        for (auto k = static_cast<std::size_t>(a.row_ptr[row]); k < row_end; ++k)
            t.row[static_cast<std::size_t>(t.start[static_cast<std::size_t>(a.col[k])]++)] = i;
    }
    for (std::size_t j = cols; j > 0; --j)  // and back
        t.start[j] = t.start[j - 1];
    t.start[0] = 0;
    return t;
}

// The contributions to row j of A'A, in order of column; a column's
// contributions keep the order in which the product meets them. Without
// values, only their columns are right (all that counting them needs).
void row_terms(const CsrMatrix &a, const ColumnRows &t, std::size_t j, bool values,
               std::vector<Term> &terms) {
    terms.clear();
    const auto column = static_cast<std::int32_t>(j);
    const auto t_end = static_cast<std::size_t>(t.start[j + 1]);
    for (auto k = static_cast<std::size_t>(t.start[j]); k < t_end; ++k) {
        const auto i = static_cast<std::size_t>(t.row[k]);  // row i of A uses column j
        const auto first = static_cast<std::size_t>(a.row_ptr[i]);
        const auto last = static_cast<std::size_t>(a.row_ptr[i + 1]);
        double a_ij = 0.0;
        for (std::size_t l = first; values && l < last; ++l)
            if (a.col[l] == column) {
                a_ij = a.val[l];
                break;
            }
        for (std::size_t l = first; l < last; ++l)
            terms.emplace_back(a.col[l], a_ij * a.val[l]);  // (A'A)_jc gets a_ij a_ic
    }
    std::stable_sort(terms.begin(), terms.end(),
                     [](const Term &x, const Term &y) { return x.first < y.first; });
}

// The first of row j's terms to keep: all, or those on and right of the diagonal.
std::size_t kept_from(const std::vector<Term> &terms, std::size_t j, bool upper) {
    if (!upper)
        return 0;
    const auto column = static_cast<std::int32_t>(j);
    return static_cast<std::size_t>(
        std::lower_bound(terms.begin(), terms.end(), column,
                         [](const Term &t, std::int32_t c) { return t.first < c; }) -
        terms.begin());
}

}  // namespace

bool normal_matrix_pays(const CsrMatrix &a) {
    double squares = 0.0;  // sum_i len_i^2, at least nnz(A'A)
    for (std::size_t i = 0; i < static_cast<std::size_t>(a.rows); ++i) {
        const auto len = static_cast<double>(a.row_ptr[i + 1] - a.row_ptr[i]);
        squares += len * len;
    }
    const double cols = static_cast<double>(a.cols);
    return std::min(squares, cols * cols) <= 3.0 * static_cast<double>(a.nonzeros());
}

std::int64_t normal_reach(const CsrMatrix &a) {
    std::int64_t reach = 0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(a.rows); ++i) {
        const auto first = static_cast<std::size_t>(a.row_ptr[i]);
        const auto last = static_cast<std::size_t>(a.row_ptr[i + 1]);
        if (first < last)  // columns ascend: (A'A)_jc is nonzero for the row's first and last
            reach = std::max(reach, std::int64_t{a.col[last - 1]} - a.col[first]);
    }
    return reach;
}

CsrMatrix normal_matrix(const CsrMatrix &a, bool upper) {
    const ColumnRows at = column_rows(a);
    CsrMatrix n;
    n.rows = n.cols = a.cols;
    const std::size_t rows = static_cast<std::size_t>(a.cols);
    n.row_ptr.assign(rows + 1, 0);
    // First the length of each row, then the rows themselves in place.
    parallel_for(rows, [&](std::size_t begin, std::size_t end) {
        std::vector<Term> terms;
        for (std::size_t j = begin; j < end; ++j) {
            row_terms(a, at, j, false, terms);
            std::int64_t distinct = 0;
            const std::size_t from = kept_from(terms, j, upper);
            for (std::size_t t = from; t < terms.size(); ++t)
                distinct += t == from || terms[t].first != terms[t - 1].first;
            n.row_ptr[j + 1] = distinct;
        }
    });
    for (std::size_t j = 0; j < rows; ++j)
        n.row_ptr[j + 1] += n.row_ptr[j];
    n.col.resize(static_cast<std::size_t>(n.row_ptr[rows]));
    n.val.resize(n.col.size());
    parallel_for(rows, [&](std::size_t begin, std::size_t end) {
        std::vector<Term> terms;
        for (std::size_t j = begin; j < end; ++j) {
            row_terms(a, at, j, true, terms);
            std::int64_t out = n.row_ptr[j] - 1;
            const std::size_t from = kept_from(terms, j, upper);
            for (std::size_t t = from; t < terms.size(); ++t) {
                if (t == from || terms[t].first != terms[t - 1].first) {
                    n.col[static_cast<std::size_t>(++out)] = terms[t].first;
                    n.val[static_cast<std::size_t>(out)] = 0.0;
                }
                // The sum, in the product's order.
                n.val[static_cast<std::size_t>(out)] += terms[t].second;
            }
        }
    });
    return n;
}

}  // namespace brisvel
