// GMRES's orthogonalisation against the library's own kernels: plain classical
// Gram-Schmidt loses orthogonality on an ill-conditioned Krylov basis, the
// reorthogonalised one keeps it.
#include "kernels/parallel.h"
#include "krylov/gram_schmidt.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

// The largest |(v_i, v_j) - delta_ij| of the Krylov basis of a matrix
// whose eigenvalues cluster at 1, so that each A v_k lies within 1e-5 of
// the basis and its orthogonalisation cancels five digits:
// A = diag(1 + 1e-5 t_i), t_i = (i mod 1000) / 1000 (the same 1000
// eigenvalues at every length), from the vector of ones, built with
// or without reorthogonalisation. Long double sums keep the check exact.
double loss_of_orthogonality(bool reorthogonalise, std::size_t n, std::size_t steps) {
    std::vector<std::vector<double>> v(steps + 1, std::vector<double>(n));
    std::vector<double> h(steps + 2);
    for (std::size_t i = 0; i < n; ++i)
        v[0][i] = 1.0 / std::sqrt(static_cast<double>(n));
    std::vector<const double *> basis;
    for (std::size_t k = 0; k < steps; ++k) {
        basis.push_back(v[k].data());
        for (std::size_t i = 0; i < n; ++i)  // u = A v_k
            v[k + 1][i] = (1.0 + 1e-5 * static_cast<double>(i % 1000) / 1000.0) * v[k][i];
        const double norm = brisvel::orthogonalise(n, basis.data(), k + 1, v[k + 1].data(),
                                                   h.data(), reorthogonalise);
        for (double &x : v[k + 1])
            x /= norm;
    }
    double worst = 0.0;
    for (std::size_t a = 0; a <= steps; ++a)
        for (std::size_t b = 0; b <= a; ++b) {
            long double dot = 0.0L;
            for (std::size_t i = 0; i < n; ++i)
                dot += static_cast<long double>(v[a][i]) * v[b][i];
            worst = std::max(worst, std::fabs(static_cast<double>(dot) - (a == b ? 1.0 : 0.0)));
        }
    return worst;
}

TEST(GramSchmidt, ReorthogonalisationKeepsAnIllConditionedBasisOrthonormal) {
    for (int threads : {1, 2}) {  // one block, and many shared among threads
        brisvel::set_kernel_threads(threads);
        const std::size_t n = threads == 1 ? 1000 : 20000;
        EXPECT_GT(loss_of_orthogonality(false, n, 30), 1e-3) << "plain CGS should lose it";
        EXPECT_LT(loss_of_orthogonality(true, n, 30), 1e-13);
    }
    brisvel::set_kernel_threads(1);
}

}  // namespace
