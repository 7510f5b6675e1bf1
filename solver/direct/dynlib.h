// Shared libraries opened at run time, and the functions found in them.
#pragma once

#include <cstddef>

namespace brisvel {

// One opened library. Closed when destroyed, unless released to stay loaded
// for the rest of the process.
class SharedLibrary {
  public:
    SharedLibrary() = default;
    ~SharedLibrary();
    SharedLibrary(const SharedLibrary &) = delete;
    SharedLibrary &operator=(const SharedLibrary &) = delete;

    // Opens a library by file name, searched where the system looks for
    // shared libraries. False when it cannot be loaded, and always in a
    // build without run-time loading.
    bool open(const char *name);
    void close();
    // Keeps the library loaded for good; the object forgets it.
    void release() { handle_ = nullptr; }

    // Looks up an exported C function and stores it in function as type F;
    // false, leaving function null, when the library does not export it.
    template <typename F> bool find(const char *name, F &function) const {
        function = reinterpret_cast<F>(address_of(name));
        return function != nullptr;
    }
    // Finds every function of a list of (name, function) pairs; false when
    // any is missing.
    bool find_all() const { return true; }
    template <typename F, typename... Rest>
    bool find_all(const char *name, F &function, Rest &...rest) const {
        return find(name, function) && find_all(rest...);
    }

  private:
    using Function = void (*)();
    Function address_of(const char *name) const;

    void *handle_ = nullptr;
};

}  // namespace brisvel
