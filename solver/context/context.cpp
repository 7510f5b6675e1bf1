// Creation, lookup and destruction of contexts, and the current context.
#include "context/context.h"

#include "kernels/parallel.h"

#include <algorithm>
#include <memory>
#include <new>

namespace brisvel {
namespace {

Context *current = nullptr;
// Every live context, owned here; handles are checked against this list.
std::vector<std::unique_ptr<Context>> live_contexts;
// Handles count up and are never reused, so a stale handle can never name a
// newer context that happens to sit at the same address.
std::uintptr_t last_handle = 0;

}  // namespace

Context *current_context() { return current; }

void set_current_context(Context *ctx) { current = ctx; }

Context *create_context() {
    try {
        live_contexts.push_back(std::make_unique<Context>());
        Context *ctx = live_contexts.back().get();
        ctx->handle = ++last_handle;
        ctx->params.threads = hardware_threads();
        return ctx;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

Context *find_context(std::uintptr_t handle) {
    for (const std::unique_ptr<Context> &live : live_contexts)
        if (handle != 0 && live->handle == handle)
            return live.get();
    return nullptr;
}

void destroy_context(Context *ctx) {
    if (current == ctx)
        current = nullptr;
    live_contexts.erase(
        std::remove_if(live_contexts.begin(), live_contexts.end(),
                       [ctx](const std::unique_ptr<Context> &live) { return live.get() == ctx; }),
        live_contexts.end());
}

}  // namespace brisvel
