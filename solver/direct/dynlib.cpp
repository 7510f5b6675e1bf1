// Opening shared libraries at run time: dlopen on POSIX systems, LoadLibrary on
// Windows, nothing at all in a build configured without run-time loading.
#include "direct/dynlib.h"

#if defined(BRISVEL_DYNAMIC_LIBS)
#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>

#include <cstring>
#endif
#endif

namespace brisvel {

SharedLibrary::~SharedLibrary() { close(); }

#if !defined(BRISVEL_DYNAMIC_LIBS)

bool SharedLibrary::open(const char *) { return false; }
void SharedLibrary::close() {}
SharedLibrary::Function SharedLibrary::address_of(const char *) const { return nullptr; }

#elif defined(_WIN32)

bool SharedLibrary::open(const char *name) {
    close();
    DWORD mode = 0;  // no error box when the library or one it needs is missing
    SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &mode);
    handle_ = reinterpret_cast<void *>(LoadLibraryA(name));
    SetThreadErrorMode(mode, nullptr);
    return handle_ != nullptr;
}

void SharedLibrary::close() {
    if (handle_ != nullptr)
        FreeLibrary(static_cast<HMODULE>(handle_));
    handle_ = nullptr;
}

SharedLibrary::Function SharedLibrary::address_of(const char *name) const {
    if (handle_ == nullptr)
        return nullptr;
    return reinterpret_cast<Function>(
        reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(handle_), name)));
}

#else

bool SharedLibrary::open(const char *name) {
    close();
    // RTLD_LOCAL keeps the library's symbols out of the global scope, so that
    // two libraries exporting the same names (SuperLU bundles its own COLAMD)
    // each keep their own.
    handle_ = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr)
        dlerror();  // leave no stale message for the application's own dlerror
    return handle_ != nullptr;
}

void SharedLibrary::close() {
    if (handle_ != nullptr)
        dlclose(handle_);
    handle_ = nullptr;
}

SharedLibrary::Function SharedLibrary::address_of(const char *name) const {
    if (handle_ == nullptr)
        return nullptr;
    void *address = dlsym(handle_, name);
    Function function = nullptr;
    static_assert(sizeof function == sizeof address, "POSIX stores functions in data pointers");
    std::memcpy(&function, &address, sizeof function);
    return function;
}

#endif

}  // namespace brisvel
