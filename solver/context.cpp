// Creation, lookup and destruction of contexts, and the current context.
#include "context.h"

#include "parallel.h"

#include <algorithm>
#include <memory>
#include <new>

namespace brisvel {
namespace detail {

Context *current = nullptr;

} // namespace detail

namespace {

using detail::current;
// Every live context, owned here; handles are checked against this list.
std::vector<std::unique_ptr<Context>> live_contexts;

} // namespace

void set_current_context(Context *ctx) { current = ctx; }

Context *create_context() {
    try {
        live_contexts.push_back(std::make_unique<Context>());
        Context *ctx = live_contexts.back().get();
        ctx->params.threads = hardware_threads();
        return ctx;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

bool is_live_context(const Context *ctx) {
    return ctx != nullptr &&
           std::any_of(live_contexts.begin(), live_contexts.end(),
                       [ctx](const std::unique_ptr<Context> &live) { return live.get() == ctx; });
}

void destroy_context(Context *ctx) {
    if (current == ctx)
        current = nullptr;
    live_contexts.erase(
        std::remove_if(live_contexts.begin(), live_contexts.end(),
                       [ctx](const std::unique_ptr<Context> &live) { return live.get() == ctx; }),
        live_contexts.end());
}

} // namespace brisvel
