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

  private:
    using Function = void (*)();
    Function address_of(const char *name) const;

    void *handle_ = nullptr;
};

// Tries each candidate file name in turn and keeps loaded, for the rest of
// the process, the first whose functions resolve(library, functions) finds
// complete and acceptable. True, with the functions, when one was.
template <typename Functions, typename Resolve, std::size_t N>
bool load_first(const char *const (&candidates)[N], Resolve resolve, Functions &functions) {
    for (const char *name : candidates) {
        SharedLibrary library;
        Functions found{};
        if (!library.open(name) || !resolve(library, found))
            continue;  // absent, incomplete or unknown; the library closes again here
        library.release();
        functions = found;
        return true;
    }
    return false;
}

}  // namespace brisvel
