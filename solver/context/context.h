// The solver context: parameters, the system being assembled, variables and
// the results of the last solve.
#pragma once

#include "kernels/csr.h"

#include <brisvel/brisvel.h>

#include <cstdint>
#include <vector>

namespace brisvel {

enum class Block { None, System, Matrix, Row };

struct Parameters {
    std::int32_t variable_count = 0;
    bool least_squares = false;
    std::int32_t method = QV_METHOD_DEFAULT;
    std::int32_t preconditioner = QV_PRECONDITIONER_JACOBI;
    std::int32_t max_iterations = 0;  // 0: max(1000, 2 * unknowns)
    double threshold = 1e-10;
    std::int32_t gmres_restart = 30;
    double ssor_omega = 1.0;
    std::int32_t threads = 1;  // set to the hardware's threads when the context is made
};

struct Results {
    std::int32_t iterations = 0;
    double residual = 0.0;
};

struct Context {
    std::uintptr_t handle = 0;  // the caller's name for this context, never reused
    Parameters params;
    Vector values;                      // one per variable
    std::vector<unsigned char> locked;  // one per variable

    Block block = Block::None;
    bool system_ready = false;   // a system block has been closed since assembly began
    CsrMatrix matrix;            // rows given so far, columns are variables
    Vector rhs;                  // one per finished row
    double row_rhs = 0.0;        // right-hand side of the open row
    std::size_t row_sorted = 0;  // the open row's entries before this one are known
                                 // to have ascending, unique columns

    Results results;
    QVprogress progress = nullptr;  // told of each iteration of a solve
    void *progress_data = nullptr;
};

namespace detail {
extern Context *current;  // read through current_context()
}  // namespace detail

// The current context, or null.
inline Context *current_context() { return detail::current; }
void set_current_context(Context *ctx);
// Creates a context; null when memory runs out.
Context *create_context();
// The live context a handle names, or null for a handle never issued or
// already destroyed.
Context *find_context(std::uintptr_t handle);
void destroy_context(Context *ctx);

}  // namespace brisvel
