// The threshold ILU preconditioner: a row order and scalings, then ILUTP, applied by the triangular
// sweeps.
#include "precond/ilut.h"

#include <brisvel/brisvel.h>

namespace brisvel {
namespace {

// M^-1 r for A ~ P' Dr^-1 L U Q' Dc^-1: z = Dc Q U^-1 L^-1 P Dr r.
class Ilut final : public Preconditioner {
  public:
    Ilut(RowOrder order, IlutFactor factor, double fill)
        : order_(std::move(order)), col_at_(std::move(factor.col_at)), sweeps_(std::move(factor.t)),
          in_(col_at_.size()), out_(col_at_.size()), fill_(fill) {
        for (std::size_t k = 0; k < col_at_.size(); ++k)  // Dc in the order of the positions
            out_scale_.push_back(order_.col_scale[static_cast<std::size_t>(col_at_[k])]);
    }
    void apply(const double *r, double *z) const override {
        const std::size_t n = col_at_.size();
        for (std::size_t i = 0; i < n; ++i)
            in_[i] = order_.row_scale[i] * r[order_.row_of[i]];  // P Dr r
        sweeps_.apply(in_.data(), out_.data());                  // (L U)^-1
        for (std::size_t k = 0; k < n; ++k)
            z[col_at_[k]] = out_scale_[k] * out_[k];  // Dc Q
    }
    HierarchyShape hierarchy() const override { return {0, 0.0, fill_}; }

  private:
    RowOrder order_;
    std::vector<std::int32_t> col_at_;
    TriangularPreconditioner sweeps_;
    Vector out_scale_;
    mutable Vector in_, out_;
    double fill_;
};

// B = P Dr A Dc, its rows in the order's.
CsrMatrix ordered(const CsrMatrix &a, const RowOrder &order) {
    const std::size_t n = static_cast<std::size_t>(a.rows);
    CsrMatrix b;
    b.rows = a.rows;
    b.cols = a.cols;
    b.row_ptr.assign(n + 1, 0);
    b.col.reserve(a.col.size());
    b.val.reserve(a.col.size());
    for (std::size_t i = 0; i < n; ++i) {
        const auto from = static_cast<std::size_t>(order.row_of[i]);
        for (std::int64_t k = a.row_ptr[from]; k < a.row_ptr[from + 1]; ++k) {
            const auto j = a.col.data()[k];
            b.col.push_back(j);
            b.val.push_back(order.row_scale[i] * a.val.data()[k] *
                            order.col_scale[static_cast<std::size_t>(j)]);
        }
        b.row_ptr[i + 1] = static_cast<std::int64_t>(b.col.size());
    }
    return b;
}

// The row order and scalings the settings ask for; matching falls back to
// equilibration when A is structurally singular, which the factorisation
// then finds.
RowOrder row_order(const CsrMatrix &a, int scaling) {
    RowOrder order;
    if (scaling == QV_ILUT_MATCHING && max_product_matching(a, order))
        return order;
    if (scaling != QV_ILUT_NO_SCALING && equilibrate(a, order))
        return order;
    order.row_of.resize(static_cast<std::size_t>(a.rows));
    for (std::size_t i = 0; i < order.row_of.size(); ++i)
        order.row_of[i] = static_cast<std::int32_t>(i);
    order.row_scale.assign(order.row_of.size(), 1.0);
    order.col_scale.assign(order.row_of.size(), 1.0);
    return order;
}

}  // namespace

BuiltPreconditioner make_ilut(const CsrMatrix &a, const Parameters &p) {
    RowOrder order = row_order(a, p.ilut_scaling);
    IlutFactor factor = ilutp(ordered(a, order), {p.ilut_drop, p.ilut_fill, p.ilut_pivot});
    if (factor.code != QV_OK)
        return {factor.code, nullptr};
    const double fill = static_cast<double>(factor.entries) /
                        static_cast<double>(std::max<std::int64_t>(1, a.nonzeros()));
    return {QV_OK, std::make_unique<Ilut>(std::move(order), std::move(factor), fill)};
}

}  // namespace brisvel
