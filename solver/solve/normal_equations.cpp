// The normal matrix A'A of a least-squares problem, by a row-by-row sparse product.
#include "kernels/parallel.h"
#include "solve/solve.h"

#include <algorithm>
#include <utility>

namespace brisvel {
namespace {

using Term = std::pair<std::int32_t, double>;  // a column of A'A and one contribution to it

// The contributions to row j of A'A, in order of column; a column's
// contributions keep the order in which the product meets them.
void row_terms(const CsrMatrix &a, const CsrMatrix &at, std::size_t j, std::vector<Term> &terms) {
    terms.clear();
    const auto at_end = static_cast<std::size_t>(at.row_ptr[j + 1]);
    for (auto k = static_cast<std::size_t>(at.row_ptr[j]); k < at_end; ++k) {
        const auto i = static_cast<std::size_t>(at.col[k]);  // row i of A uses column j
        const double a_ij = at.val[k];
        const auto a_end = static_cast<std::size_t>(a.row_ptr[i + 1]);
        for (auto l = static_cast<std::size_t>(a.row_ptr[i]); l < a_end; ++l)
            terms.emplace_back(a.col[l], a_ij * a.val[l]);  // (A'A)_jc gets a_ij a_ic
    }
    std::stable_sort(terms.begin(), terms.end(),
                     [](const Term &x, const Term &y) { return x.first < y.first; });
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

CsrMatrix normal_matrix(const CsrMatrix &a, const CsrMatrix &at) {
    CsrMatrix n;
    n.rows = n.cols = a.cols;
    const std::size_t rows = static_cast<std::size_t>(a.cols);
    n.row_ptr.assign(rows + 1, 0);
    // First the length of each row, then the rows themselves in place.
    parallel_for(rows, [&](std::size_t begin, std::size_t end) {
        std::vector<Term> terms;
        for (std::size_t j = begin; j < end; ++j) {
            row_terms(a, at, j, terms);
            std::int64_t distinct = 0;
            for (std::size_t t = 0; t < terms.size(); ++t)
                distinct += t == 0 || terms[t].first != terms[t - 1].first;
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
            row_terms(a, at, j, terms);
            std::int64_t out = n.row_ptr[j] - 1;
            for (std::size_t t = 0; t < terms.size(); ++t) {
                if (t == 0 || terms[t].first != terms[t - 1].first) {
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
