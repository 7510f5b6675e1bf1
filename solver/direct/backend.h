// A direct solver's library, loaded at run time: its function table, whether
// it has loaded, and the loading itself.
#pragma once

#include "direct/dynlib.h"

#include <brisvel/brisvel.h>

#include <atomic>
#include <cstddef>
#include <mutex>

namespace brisvel {

// Functions is a struct of the library's function pointers; resolve fills it
// from an opened library and answers whether the library is complete and of
// a known version.
template <class Functions> class Backend {
  public:
    using Resolve = bool (*)(const SharedLibrary &library, Functions &functions);

    template <std::size_t N>
    Backend(const char *const (&candidates)[N], Resolve resolve)
        : candidates_(candidates), count_(N), resolve_(resolve) {}

    // Tries each candidate file name in turn and keeps loaded, for the rest
    // of the process, the first that resolves. QV_OK at once when already
    // loaded; a failed load is tried again by the next call.
    int load() {
        std::lock_guard<std::mutex> guard(lock_);  // one thread loads; the others wait for it
        if (loaded_.load(std::memory_order_relaxed))
            return QV_OK;
        for (std::size_t k = 0; k < count_; ++k) {
            SharedLibrary library;
            Functions found{};
            if (!library.open(candidates_[k]) || !resolve_(library, found))
                continue;  // absent, incomplete or unknown; the library closes again here
            library.release();
            functions_ = found;
            loaded_.store(true, std::memory_order_release);
            return QV_OK;
        }
        return QV_ERROR_EXTENSION_UNAVAILABLE;
    }
    // The functions, or null until a load has succeeded.
    const Functions *api() const {
        return loaded_.load(std::memory_order_acquire) ? &functions_ : nullptr;
    }

  private:
    const char *const *candidates_;
    std::size_t count_;
    Resolve resolve_;
    Functions functions_{};  // written once, before loaded_ is set
    std::atomic<bool> loaded_{false};
    std::mutex lock_;
};

}  // namespace brisvel
