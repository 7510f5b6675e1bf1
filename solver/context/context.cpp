// The registry of contexts shared by all threads, each thread's current
// context, and the holds that keep one thread at a time inside a context.
#include "context/context.h"

#include "error.h"
#include "kernels/parallel.h"

#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#endif

namespace brisvel {
namespace {

// Where a context lives. A slot outlives its context and is used again for
// a later one, so that a thread whose current context another thread deleted
// reads its slot safely and finds the handle changed.
struct Slot {
    std::atomic<std::uintptr_t> handle{0};  // the live context's handle; 0 when free
    std::atomic<std::uintptr_t> holder{0};  // the thread inside a call on it; 0 when none
    std::unique_ptr<Context> ctx;
};

struct Registry {
    std::mutex lock;
    std::vector<std::unique_ptr<Slot>> slots;         // every slot ever made
    std::vector<Slot *> free;                         // slots without a context
    std::unordered_map<std::uintptr_t, Slot *> live;  // by handle
    // Handles count up and are never reused, so a stale handle can never
    // name a newer context that happens to sit in the same slot.
    std::uintptr_t last_handle = 0;
};

Registry &registry() {
    static Registry *const instance = new Registry;  // outlives every thread's last call
    return *instance;
}

// The calling thread's current context: its handle and slot.
struct Current {
    std::uintptr_t handle = 0;
    Slot *slot = nullptr;
};
thread_local Current current;

// A number that names the calling thread: the address of one of its own.
std::uintptr_t this_thread() {
    static thread_local char tag;
    return reinterpret_cast<std::uintptr_t>(&tag);
}

// Holds the slot for a call on the context named handle.
int hold(Slot &slot, std::uintptr_t handle, Held &held) {
    const std::uintptr_t me = this_thread();
    if (slot.holder.load(std::memory_order_relaxed) == me) {  // a call nested in this thread's
        held = Held(slot.ctx.get(), nullptr);
        return QV_OK;
    }
    std::uintptr_t none = 0;
    if (!slot.holder.compare_exchange_strong(none, me, std::memory_order_acquire))
        return BRISVEL_ERROR(QV_ERROR_BUSY);
    if (slot.handle.load(std::memory_order_relaxed) != handle) {  // deleted meanwhile
        slot.holder.store(0, std::memory_order_release);
        return BRISVEL_ERROR(QV_ERROR_NO_CONTEXT);
    }
    held = Held(slot.ctx.get(), &slot.holder);
    return QV_OK;
}

#if defined(__unix__) || defined(__APPLE__)
// A fork in one thread while another holds the registry's lock would leave
// the child with a lock nobody can release; the lock is taken across it.
void lock_before_fork() { registry().lock.lock(); }
void unlock_after_fork() { registry().lock.unlock(); }
[[maybe_unused]] const bool fork_handlers_installed =
    pthread_atfork(lock_before_fork, unlock_after_fork, unlock_after_fork) == 0;
#endif

}  // namespace

int create_context(std::uintptr_t &handle) {
    auto ctx = std::make_unique<Context>();
    ctx->params.threads = default_threads();
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    r.slots.reserve(r.slots.size() + 1);
    r.free.reserve(r.slots.size() + 1);
    r.live.reserve(r.live.size() + 1);
    Slot *slot = nullptr;
    while (slot == nullptr && !r.free.empty()) {
        Slot *candidate = r.free.back();
        r.free.pop_back();
        std::uintptr_t none = 0;
        if (candidate->holder.compare_exchange_strong(none, this_thread()))
            slot = candidate;  // (a slot a stale caller holds for a moment is skipped for good)
    }
    if (slot == nullptr) {
        r.slots.push_back(std::make_unique<Slot>());
        slot = r.slots.back().get();
        slot->holder.store(this_thread());
    }
    handle = ++r.last_handle;
    slot->ctx = std::move(ctx);
    r.live.emplace(handle, slot);  // room reserved above: does not throw
    slot->handle.store(handle, std::memory_order_release);
    slot->holder.store(0, std::memory_order_release);
    current = Current{handle, slot};
    return QV_OK;
}

int hold_current(Held &held) {
    Slot *slot = current.slot;
    if (slot == nullptr || slot->handle.load(std::memory_order_acquire) != current.handle) {
        current = Current{};
        return BRISVEL_ERROR(QV_ERROR_NO_CONTEXT);
    }
    return hold(*slot, current.handle, held);
}

std::uintptr_t current_handle() {
    Slot *slot = current.slot;
    if (slot == nullptr || slot->handle.load(std::memory_order_acquire) != current.handle)
        current = Current{};
    return current.handle;
}

int make_current(std::uintptr_t handle) {
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    const auto found = r.live.find(handle);
    if (handle == 0 || found == r.live.end())
        return BRISVEL_ERROR(QV_ERROR_INVALID_HANDLE);
    current = Current{handle, found->second};
    return QV_OK;
}

int delete_context(std::uintptr_t handle) {
    std::unique_ptr<Context> doomed;  // freed once the lock is let go
    {
        Registry &r = registry();
        std::lock_guard<std::mutex> guard(r.lock);
        const auto found = r.live.find(handle);
        if (handle == 0 || found == r.live.end())
            return BRISVEL_ERROR(QV_ERROR_INVALID_HANDLE);
        Slot &slot = *found->second;
        std::uintptr_t none = 0;
        if (!slot.holder.compare_exchange_strong(none, this_thread(), std::memory_order_acquire))
            return BRISVEL_ERROR(QV_ERROR_BUSY);  // a call on it runs, perhaps this thread's own
        r.free.reserve(r.free.size() + 1);
        slot.handle.store(0, std::memory_order_release);
        doomed = std::move(slot.ctx);
        r.live.erase(found);
        r.free.push_back(&slot);
        slot.holder.store(0, std::memory_order_release);
    }
    if (current.handle == handle)
        current = Current{};
    return QV_OK;
}

}  // namespace brisvel
