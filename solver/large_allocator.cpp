// Large arrays on huge pages: aligned to 2 MiB and marked with madvise on Linux.
#include "large_allocator.h"

#include <cstdlib>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace brisvel {
namespace {

constexpr std::size_t huge_page = std::size_t{2} << 20;

} // namespace

void *allocate_large(std::size_t bytes) {
    if (bytes < large_array_bytes)
        return ::operator new(bytes);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    const std::size_t rounded = (bytes + huge_page - 1) / huge_page * huge_page;
    void *p = std::aligned_alloc(huge_page, rounded);
    if (p == nullptr)
        throw std::bad_alloc();
    madvise(p, rounded, MADV_HUGEPAGE);  // only advice: without it, small pages serve
    return p;
#else
    return ::operator new(bytes);
#endif
}

void free_large(void *p, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (bytes >= large_array_bytes) {
        std::free(p);
        return;
    }
#endif
    ::operator delete(p);
    (void)bytes;
}

} // namespace brisvel
