// The solver context: parameters, the system being assembled, variables and
// the results of the last solve.
#pragma once

#include "context/parameters.h"
#include "context/setup.h"
#include "kernels/csr.h"
#include "kernels/workspace.h"

#include <brisvel/brisvel.h>

#include <atomic>
#include <cstdint>
#include <vector>

namespace brisvel {

enum class Block { None, System, Matrix, Row };

// How the last solve ended for one of its systems.
struct SystemResult {
    std::int32_t code = QV_OK;
    std::int32_t iterations = 0;
    double residual = 0.0;
};

struct Results {
    std::vector<SystemResult> systems;  // one per system solved; empty before a solve
    double setup_seconds = 0.0;
    std::int32_t amg_levels = 0;
    double amg_complexity = 0.0;
    double factor_fill = 0.0;  // of an ILUT preconditioner
};

struct Context {
    std::uintptr_t handle = 0;  // the caller's name for this context, never reused
    Parameters params;
    std::vector<Vector> values{1};      // one per system, each one per variable
    std::vector<unsigned char> locked;  // one per variable

    Block block = Block::None;
    bool system_ready = false;         // a system block has been closed since assembly began
    std::uint64_t assembly = 1;        // counts assemblies begun: what a setup was made from
    CsrMatrix matrix;                  // rows given so far, columns are variables
    std::vector<Vector> rhs{1};        // one per system, each one per finished row
    std::vector<double> row_rhs{0.0};  // the open row's right-hand sides, one per system
    std::size_t row_sorted = 0;        // the open row's entries before this one are known
                                       // to have ascending, unique columns

    Results results;
    QVprogress progress = nullptr;  // told of each iteration of a solve
    void *progress_data = nullptr;
    bool solving = false;  // a solve of it is running: it may be read, not changed
    Workspace workspace;   // the solves' work vectors, kept for the next solve
    Setup setup;           // what the last solve built, kept for the next

    // The values of the selected system's variables, and its right-hand sides.
    Vector &selected_values() { return values[static_cast<std::size_t>(params.system)]; }
    const Vector &selected_values() const {
        return values[static_cast<std::size_t>(params.system)];
    }
    Vector &selected_rhs() { return rhs[static_cast<std::size_t>(params.system)]; }
};

// A call's hold on a context: while it lasts, no other thread can use or
// delete the context, and a call from another thread fails with
// QV_ERROR_BUSY. Calls nested in one thread (a progress callback's) share the
// hold of the outermost. Empty when the context could not be held.
class Held {
  public:
    Held() = default;
    Held(Context *ctx, std::atomic<std::uintptr_t> *holder) : ctx_(ctx), holder_(holder) {}
    ~Held() { release(); }
    Held(Held &&other) noexcept : ctx_(other.ctx_), holder_(other.holder_) {
        other.ctx_ = nullptr;
        other.holder_ = nullptr;
    }
    Held &operator=(Held &&other) noexcept {
        if (this != &other) {
            release();
            ctx_ = other.ctx_;
            holder_ = other.holder_;
            other.ctx_ = nullptr;
            other.holder_ = nullptr;
        }
        return *this;
    }
    Held(const Held &) = delete;
    Held &operator=(const Held &) = delete;

    explicit operator bool() const { return ctx_ != nullptr; }
    Context *operator->() const { return ctx_; }
    Context &operator*() const { return *ctx_; }
    // Lets go early: the context is no longer this call's to touch.
    void release() {
        if (holder_ != nullptr)
            holder_->store(0, std::memory_order_release);
        holder_ = nullptr;
        ctx_ = nullptr;
    }

  private:
    Context *ctx_ = nullptr;
    std::atomic<std::uintptr_t> *holder_ = nullptr;  // null for a nested hold
};

// Contexts live in a registry shared by all threads; which one is current
// belongs to each thread. Each answers QV_OK or an error code.

// Creates a context and makes it the calling thread's current one.
int create_context(std::uintptr_t &handle);
// The calling thread's current context, held for a call: QV_ERROR_NO_CONTEXT
// when there is none (or it was deleted), QV_ERROR_BUSY when another thread
// is inside a call on it.
int hold_current(Held &held);
// The calling thread's current handle, 0 when there is none.
std::uintptr_t current_handle();
// Makes a live context current in the calling thread.
int make_current(std::uintptr_t handle);
// Deletes a live context, unless a call on it is running in any thread
// (QV_ERROR_BUSY); a thread whose current context it was finds none.
int delete_context(std::uintptr_t handle);

}  // namespace brisvel
