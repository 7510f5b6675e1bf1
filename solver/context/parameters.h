// A context's settings, as the caller gave them.
#pragma once

#include <brisvel/brisvel.h>

#include <cstdint>

namespace brisvel {

struct Parameters {
    std::int32_t variable_count = 0;
    bool least_squares = false;
    std::int32_t method = QV_METHOD_DEFAULT;
    std::int32_t preconditioner = QV_PRECONDITIONER_JACOBI;
    std::int32_t max_iterations = 0;  // 0: max(1000, 2 * unknowns)
    double threshold = 1e-10;
    std::int32_t gmres_restart = 30;
    double ssor_omega = 1.0;
    double amg_strength = 0.02;       // |a_ij| >= this sqrt(|a_ii a_jj|) is strong
    std::int32_t amg_sweeps = 2;      // the degree of each level's Chebyshev smoothing
    std::int32_t amg_coarsest = 500;  // the most unknowns of the coarsest level
    std::int32_t amg_pairs = 1;       // 1: aggregate interleaved pairs as nodes where found
    double ilut_drop = 1e-4;          // relative to each row's 2-norm
    double ilut_fill = 10.0;          // the factors' most entries over A's
    double ilut_pivot = 0.1;          // a diagonal below this times its row's largest is swapped
    std::int32_t ilut_scaling = QV_ILUT_MATCHING;
    std::int32_t threads = 1;       // set to the hardware's threads when the context is made
    std::int32_t system_count = 1;  // systems sharing the matrix: right-hand sides and answers
    std::int32_t system = 0;        // the system that reads and writes of one system address
};

// True when a setup made with a may serve settings b: they agree on every
// setting that shapes the setup (the method, the preconditioner and theirs,
// the mode and the threads its plans are made for).
bool same_setup_settings(const Parameters &a, const Parameters &b);

}  // namespace brisvel
