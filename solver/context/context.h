// The solver context: parameters, the system being assembled, variables and
// the results of the last solve.
#pragma once

#include "context/parameters.h"
#include "kernels/csr.h"
#include "kernels/workspace.h"

#include <brisvel/brisvel.h>

#include <cstdint>
#include <vector>

namespace brisvel {

enum class Block { None, System, Matrix, Row };

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
    bool solving = false;  // a solve of it is running: it may be read, not changed
    Workspace workspace;   // the solves' work vectors, kept for the next solve
};

// The current context, or null.
Context *current_context();
void set_current_context(Context *ctx);
// Creates a context; null when memory runs out.
Context *create_context();
// The live context a handle names, or null for a handle never issued or
// already destroyed.
Context *find_context(std::uintptr_t handle);
void destroy_context(Context *ctx);

}  // namespace brisvel
