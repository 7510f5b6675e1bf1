// Symmetric successive over-relaxation preconditioner: a forward and a backward sweep.
#include "precond/preconditioner.h"

namespace brisvel {
namespace {

// M = (D + wL) D^-1 (D + wU) / (w (2 - w)); a zero or missing diagonal entry
// counts as 1. Symmetric when A is, so it also serves conjugate gradients.
class Ssor final : public Preconditioner {
  public:
    Ssor(const CsrMatrix &a, double omega) : a_(a), omega_(omega), diagonal_(diagonal(a)) {
        for (double &d : diagonal_)
            if (d == 0.0)
                d = 1.0;  // never divide by a zero diagonal
    }
    void apply(const double *r, double *z) const override;

  private:
    const CsrMatrix &a_;
    double omega_;
    Vector diagonal_;
};

void Ssor::apply(const double *r, double *z) const {
    const std::int32_t rows = a_.rows;
    const std::int64_t *row_ptr = a_.row_ptr.data();
    const std::int32_t *col = a_.col.data();
    const double *val = a_.val.data();
    const double *d = diagonal_.data();
    const double w = omega_;
    for (std::int32_t i = 0; i < rows; ++i) {  // solve (D + wL) y = r
        double sum = r[i];
        for (std::int64_t k = row_ptr[i]; k < row_ptr[i + 1] && col[k] < i; ++k)
            sum -= w * val[k] * z[col[k]];
        z[i] = sum / d[i];
    }
    for (std::int32_t i = rows - 1; i >= 0; --i) {  // solve (D + wU) z = D y
        double sum = d[i] * z[i];
        for (std::int64_t k = row_ptr[i + 1] - 1; k >= row_ptr[i] && col[k] > i; --k)
            sum -= w * val[k] * z[col[k]];
        z[i] = sum / d[i];
    }
    const double scale = w * (2.0 - w);
    for (std::int32_t i = 0; i < rows; ++i)
        z[i] *= scale;  // z = w (2 - w) (D + wU)^-1 D (D + wL)^-1 r
}

}  // namespace

std::unique_ptr<Preconditioner> make_ssor(const CsrMatrix &a, const Parameters &p) {
    return std::make_unique<Ssor>(a, p.ssor_omega);
}

}  // namespace brisvel
