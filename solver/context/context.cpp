// The registry of contexts shared by all threads, each thread's current
// context, and the holds that keep one thread at a time inside a context.
#include "context/context.h"

#include "error.h"
#include "kernels/parallel.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#endif
#if defined(__linux__)
#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

// A context used by one thread call after call is held without a locked
// instruction: it is biased to that thread (see hold_current below). That rests on a
// barrier that the kernel makes every running thread of the process take;
// without one, or where a race detector would not see it, every hold takes
// the slot's lock word.
#if defined(__SANITIZE_THREAD__)
#define BRISVEL_BIASED_HOLDS 0
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define BRISVEL_BIASED_HOLDS 0
#endif
#endif
#if !defined(BRISVEL_BIASED_HOLDS)
#if defined(__linux__) && defined(SYS_membarrier)
#define BRISVEL_BIASED_HOLDS 1
#else
#define BRISVEL_BIASED_HOLDS 0
#endif
#endif

namespace brisvel {
namespace {

// Holds in a row through the lock word, by one thread, that first bias a
// slot to it. Withdrawing a bias costs the other thread a barrier across
// the process (about 16 us with two threads running): each withdrawal makes
// the next bias of the slot need four times as long a run, up to the last.
constexpr long first_bias_after = 16;
constexpr long last_bias_after = long{1} << 22;

// What a thread marks while it is inside a call on a context biased to it:
// that context's slot. Marks are made on demand and never freed; a thread's
// mark passes to a later thread when it ends, without its biases.
struct ThreadMark {
    std::atomic<std::uintptr_t> inside{0};  // the slot's address; 0 when none
    ThreadMark *next_free = nullptr;
};

// Where a context lives. A slot outlives its context and is used again for
// a later one, so that a thread whose current context another thread deleted
// reads its slot safely and finds the handle changed.
struct Slot {
    std::atomic<std::uintptr_t> handle{0};  // the live context's handle; 0 when free
    std::atomic<std::uintptr_t> holder{0};  // the thread inside a call on it; 0 when none
    std::atomic<std::uintptr_t> owner{0};   // the mark of the thread it is biased to; 0: none
    std::unique_ptr<Context> ctx;
    // Who took the last holds through the lock word, how many in a row, and
    // how many bias the slot to that thread (changed only by the thread
    // holding the lock word).
    std::uintptr_t streak_thread = 0;
    long streak = 0;
    long bias_after = first_bias_after;
};

struct Registry {
    std::mutex lock;
    std::vector<std::unique_ptr<Slot>> slots;         // every slot ever made
    std::vector<Slot *> free;                         // slots without a context
    std::unordered_map<std::uintptr_t, Slot *> live;  // by handle
    // Handles count up and are never reused, so a stale handle can never
    // name a newer context that happens to sit in the same slot.
    std::uintptr_t last_handle = 0;
    ThreadMark *free_marks = nullptr;  // the marks of threads that have ended
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

// All a thread keeps, in one place, so that a call finds it at once.
struct ThreadState {
    Current current;
    ThreadMark *mark = nullptr;  // made when a context is first biased to the thread
    bool ended = false;          // its mark has gone back: it takes no more biases
};
thread_local ThreadState state;

// A number that names the calling thread: the address of its own state.
std::uintptr_t this_thread() { return reinterpret_cast<std::uintptr_t>(&state); }

std::uintptr_t address_of(const Slot &slot) { return reinterpret_cast<std::uintptr_t>(&slot); }

// Makes every running thread of the process take a full memory barrier;
// false where that cannot be done.
bool process_barrier() {
#if BRISVEL_BIASED_HOLDS
    return syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0) == 0;
#else
    return false;
#endif
}

// True once the process may use process_barrier. Registering takes long in
// a process whose other threads run (the kernel waits for a grace period,
// about 20 ms), and is done as the library loads, when there are seldom any.
bool biases_possible() {
#if BRISVEL_BIASED_HOLDS
    static const bool registered = [] {
        const long commands = syscall(SYS_membarrier, MEMBARRIER_CMD_QUERY, 0, 0);
        return commands >= 0 && (commands & MEMBARRIER_CMD_PRIVATE_EXPEDITED) != 0 &&
               syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
    }();
    return registered;
#else
    return false;
#endif
}

// Gives the calling thread's mark back when the thread ends, its biases
// withdrawn: a bias stands only for the context that was current when it
// was given. (No barrier is needed: the thread is inside no call, and no
// other thread uses its mark.)
struct MarkReturn {
    ~MarkReturn() {
        if (state.mark == nullptr)
            return;
        Registry &r = registry();
        std::lock_guard<std::mutex> guard(r.lock);
        for (const std::unique_ptr<Slot> &slot : r.slots) {
            auto mine = reinterpret_cast<std::uintptr_t>(state.mark);
            slot->owner.compare_exchange_strong(mine, 0, std::memory_order_relaxed);
        }
        state.mark->next_free = r.free_marks;
        r.free_marks = state.mark;
        state.mark = nullptr;
        state.ended = true;
    }
};

// The calling thread's mark, made or taken from an ended thread; null once
// the thread is ending.
ThreadMark *this_mark() {
    if (state.mark != nullptr || state.ended)
        return state.mark;
    static thread_local MarkReturn give_back;  // (constructed here, on first use)
    (void)give_back;
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    if (r.free_marks != nullptr) {
        state.mark = r.free_marks;
        r.free_marks = r.free_marks->next_free;
    } else {
        state.mark = new ThreadMark;  // never freed: slots may name it for good
    }
    return state.mark;
}

// Takes the bias of the slot, whose lock word the calling thread holds: true
// when no thread is inside a call on it through a bias. A bias to another
// thread is withdrawn and stays withdrawn; one kept by a thread inside a
// call stays, and the answer is false.
bool claim(Slot &slot) {
    const std::uintptr_t owner = slot.owner.load(std::memory_order_relaxed);
    if (owner == 0)
        return true;
    auto &mark = *reinterpret_cast<ThreadMark *>(owner);
    slot.owner.store(0, std::memory_order_relaxed);
    // The owner marks itself inside, then reads the owner again; after the
    // barrier either it sees the bias withdrawn, or its mark is seen here.
    if (owner != reinterpret_cast<std::uintptr_t>(state.mark) && !process_barrier()) {
        slot.owner.store(owner, std::memory_order_relaxed);
        return false;
    }
    if (mark.inside.load(std::memory_order_acquire) == address_of(slot)) {
        slot.owner.store(owner, std::memory_order_relaxed);
        return false;
    }
    if (owner != reinterpret_cast<std::uintptr_t>(state.mark))
        slot.bias_after = std::min(slot.bias_after * 4, last_bias_after);
    return true;
}

// Counts a hold through the lock word, whose holder the calling thread is,
// and biases the slot to the thread after bias_after of them in a row.
void note_hold(Slot &slot, std::uintptr_t me) {
    if (slot.streak_thread != me) {
        slot.streak_thread = me;
        slot.streak = 0;
    }
    if (++slot.streak < slot.bias_after || !biases_possible())
        return;
    if (ThreadMark *mark = this_mark())
        slot.owner.store(reinterpret_cast<std::uintptr_t>(mark), std::memory_order_relaxed);
}

// Holds the calling thread's current context for a call through its slot's
// lock word, then takes its bias (claim) when another thread has it.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
int hold_current_locked(Held &held) {
    Current &current = state.current;
    Slot *slot = current.slot;
    if (slot == nullptr || slot->handle.load(std::memory_order_acquire) != current.handle) {
        current = Current{};
        return BRISVEL_ERROR(QV_ERROR_NO_CONTEXT);
    }
    const std::uintptr_t me = this_thread();
    const ThreadMark *mark = state.mark;
    if (slot->holder.load(std::memory_order_relaxed) == me ||
        (mark != nullptr && mark->inside.load(std::memory_order_relaxed) == address_of(*slot))) {
        held = Held(slot->ctx.get(), nullptr);  // a call nested in this thread's
        return QV_OK;
    }
    std::uintptr_t none = 0;
    if (!slot->holder.compare_exchange_strong(none, me, std::memory_order_acquire))
        return BRISVEL_ERROR(QV_ERROR_BUSY);
    if (slot->handle.load(std::memory_order_relaxed) != current.handle) {  // deleted meanwhile
        slot->holder.store(0, std::memory_order_release);
        return BRISVEL_ERROR(QV_ERROR_NO_CONTEXT);
    }
    if (!claim(*slot)) {
        slot->holder.store(0, std::memory_order_release);
        return BRISVEL_ERROR(QV_ERROR_BUSY);
    }
    note_hold(*slot, me);
    held = Held(slot->ctx.get(), &slot->holder);
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
[[maybe_unused]] const bool biases_registered = biases_possible();

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
    state.current = Current{handle, slot};
    return QV_OK;
}

// The thread a slot is biased to marks itself inside and checks the bias
// again, a compiler barrier between: no locked instruction. (A bias that
// still stands also proves the context was not deleted since it was given:
// deleting a context takes its bias.) Any other call, a nested one among
// them, goes the way of the lock word.
int hold_current(Held &held) {
    Slot *slot = state.current.slot;
    ThreadMark *mark = state.mark;
    const auto mine = reinterpret_cast<std::uintptr_t>(mark);
    if (slot != nullptr && mark != nullptr && slot->owner.load(std::memory_order_relaxed) == mine &&
        mark->inside.load(std::memory_order_relaxed) == 0) {
        mark->inside.store(address_of(*slot), std::memory_order_relaxed);
        std::atomic_signal_fence(std::memory_order_seq_cst);
        if (slot->owner.load(std::memory_order_acquire) == mine) {
            held = Held(slot->ctx.get(), &mark->inside);
            return QV_OK;
        }
        mark->inside.store(0, std::memory_order_release);  // withdrawn meanwhile
    }
    return hold_current_locked(held);
}

std::uintptr_t current_handle() {
    Current &current = state.current;
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
    state.current = Current{handle, found->second};
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
        if (!claim(slot)) {
            slot.holder.store(0, std::memory_order_release);
            return BRISVEL_ERROR(QV_ERROR_BUSY);  // a call on it runs through a bias
        }
        slot.streak_thread = 0;
        slot.bias_after = first_bias_after;
        r.free.reserve(r.free.size() + 1);
        slot.handle.store(0, std::memory_order_release);
        doomed = std::move(slot.ctx);
        r.live.erase(found);
        r.free.push_back(&slot);
        slot.holder.store(0, std::memory_order_release);
    }
    if (state.current.handle == handle)
        state.current = Current{};
    return QV_OK;
}

}  // namespace brisvel
