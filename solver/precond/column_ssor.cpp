// Least-squares SSOR: sweeps over the columns of A that apply SSOR on A'A
// without forming it (the column-action form of SOR on the normal equations).
#include "precond/preconditioner.h"

#include <algorithm>
#include <cmath>

namespace brisvel {

Vector column_norms_squared(const CsrMatrix &a);  // in column_scaling.cpp

namespace {

// With A'A = L + D + L', the SSOR matrix M = (D + wL) D^-1 (D + wL') / (w (2 - w))
// factors as K K', K = (D + wL) D^-1/2 / sqrt(w (2 - w)); N = K'^-1. The
// triangular solves need (A'A)_jk y_k summed over k < j, which is a_j . t for
// t = sum_{k<j} y_k a_k, kept as the sweep goes: two passes over column j.
// A zero column counts as D_j = 1. The sweeps run on one thread, over a
// copy of A stored by columns (its transpose, 12 bytes an entry).
class ColumnSsor final : public NormalPreconditioner {
  public:
    ColumnSsor(const CsrMatrix &a, double omega)
        : at_(transpose(a)), omega_(omega), d_(column_norms_squared(a)),
          t_(static_cast<std::size_t>(a.rows)), g_(static_cast<std::size_t>(a.cols)) {
        for (double &d : d_)
            d = d > 0.0 ? d : 1.0;
    }
    void apply(const double *v, double *w) const override;
    void apply_transpose(const double *s, double *z) const override;

  private:
    // y_j = (s_j - w a_j . t) / D_j, then t += y_j a_j, for j in order.
    void sweep(std::int32_t j, const double *s, double *y) const;

    CsrMatrix at_;  // A', whose row j is column j of A
    double omega_;
    Vector d_;          // D = diag(A'A)
    mutable Vector t_;  // the partial product A y of a sweep
    mutable Vector g_;  // the right-hand side of the backward sweep
};

void ColumnSsor::sweep(std::int32_t j, const double *s, double *y) const {
    const auto row = static_cast<std::size_t>(j);
    const auto first = static_cast<std::size_t>(at_.row_ptr[row]);
    const auto last = static_cast<std::size_t>(at_.row_ptr[row + 1]);
    double at_t = 0.0;
    for (std::size_t k = first; k < last; ++k)
        at_t += at_.val[k] * t_[static_cast<std::size_t>(at_.col[k])];  // a_j . t
    y[row] = (s[row] - omega_ * at_t) / d_[row];
    for (std::size_t k = first; k < last; ++k)
        t_[static_cast<std::size_t>(at_.col[k])] += y[row] * at_.val[k];  // t += y_j a_j
}

void ColumnSsor::apply_transpose(const double *s, double *z) const {
    std::fill(t_.begin(), t_.end(), 0.0);
    for (std::int32_t j = 0; j < at_.rows; ++j)  // solve (D + wL) y = s, y in z
        sweep(j, s, z);
    const double c = std::sqrt(omega_ * (2.0 - omega_));
    for (std::size_t j = 0; j < d_.size(); ++j)
        z[j] *= c * std::sqrt(d_[j]);  // N' s = sqrt(w (2 - w)) D^1/2 y
}

void ColumnSsor::apply(const double *v, double *w) const {
    const double c = std::sqrt(omega_ * (2.0 - omega_));
    for (std::size_t j = 0; j < d_.size(); ++j)
        g_[j] = c * std::sqrt(d_[j]) * v[j];  // g = sqrt(w (2 - w)) D^1/2 v
    std::fill(t_.begin(), t_.end(), 0.0);
    for (std::int32_t j = at_.rows - 1; j >= 0; --j)  // solve (D + wL') w = g
        sweep(j, g_.data(), w);
}

}  // namespace

std::unique_ptr<NormalPreconditioner> make_column_ssor(const CsrMatrix &a, const Parameters &p) {
    return std::make_unique<ColumnSsor>(a, p.ssor_omega);
}

}  // namespace brisvel
