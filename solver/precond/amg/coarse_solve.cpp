// Dense LU with partial pivoting, for the coarsest level of a hierarchy.
#include "precond/amg/coarse_solve.h"

#include <algorithm>
#include <cmath>

namespace brisvel {

bool DenseLu::factor(const CsrMatrix &a) {
    n_ = static_cast<std::size_t>(a.rows);
    const std::size_t n = n_;
    lu_.assign(n * n, 0.0);
    pivot_.assign(n, 0);
    for (std::size_t i = 0; i < n; ++i)
        for (auto k = static_cast<std::size_t>(a.row_ptr[i]);
             k < static_cast<std::size_t>(a.row_ptr[i + 1]); ++k)
            lu_[i * n + static_cast<std::size_t>(a.col[k])] = a.val[k];
    double largest = 0.0;
    for (double v : lu_)
        largest = std::max(largest, std::fabs(v));
    if (!(largest > 0.0) || !std::isfinite(largest))
        return false;
    for (std::size_t k = 0; k < n; ++k) {
        std::size_t p = k;  // the largest entry of column k at or below the diagonal
        for (std::size_t i = k + 1; i < n; ++i)
            if (std::fabs(lu_[i * n + k]) > std::fabs(lu_[p * n + k]))
                p = i;
        pivot_[k] = static_cast<std::int32_t>(p);
        if (!(std::fabs(lu_[p * n + k]) > 1e-14 * largest))
            return false;  // singular to working precision
        if (p != k)
            std::swap_ranges(lu_.begin() + static_cast<std::ptrdiff_t>(k * n),
                             lu_.begin() + static_cast<std::ptrdiff_t>((k + 1) * n),
                             lu_.begin() + static_cast<std::ptrdiff_t>(p * n));
        const double inverse = 1.0 / lu_[k * n + k];
        for (std::size_t i = k + 1; i < n; ++i) {
            double &l = lu_[i * n + k];
            if (l == 0.0)
                continue;
            l *= inverse;  // l_ik = a_ik / u_kk
            const double *u_row = &lu_[k * n];
            double *a_row = &lu_[i * n];
            for (std::size_t j = k + 1; j < n; ++j)
                a_row[j] -= l * u_row[j];  // a_ij -= l_ik u_kj
        }
    }
    return std::all_of(lu_.begin(), lu_.end(), [](double v) { return std::isfinite(v); });
}

void DenseLu::solve(const double *b, double *x) const {
    const std::size_t n = n_;
    std::copy(b, b + n, x);
    for (std::size_t k = 0; k < n; ++k)  // the rows swapped as the factorisation swapped them
        std::swap(x[k], x[static_cast<std::size_t>(pivot_[k])]);
    for (std::size_t i = 0; i < n; ++i) {  // L y = P b
        double sum = x[i];
        for (std::size_t j = 0; j < i; ++j)
            sum -= lu_[i * n + j] * x[j];
        x[i] = sum;
    }
    for (std::size_t i = n; i-- > 0;) {  // U x = y
        double sum = x[i];
        for (std::size_t j = i + 1; j < n; ++j)
            sum -= lu_[i * n + j] * x[j];
        x[i] = sum / lu_[i * n + i];
    }
}

}  // namespace brisvel
