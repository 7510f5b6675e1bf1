// Large arrays on huge pages: their own 2 MiB-aligned mappings, marked with madvise, on Linux.
#include "kernels/large_allocator.h"

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <cstdint>

namespace brisvel {

#if defined(__linux__) && defined(MADV_HUGEPAGE)

namespace {

constexpr std::size_t huge_page = std::size_t{2} << 20;

std::size_t round_up(std::size_t bytes) { return (bytes + huge_page - 1) / huge_page * huge_page; }

}  // namespace

// The mapping is made one huge page longer, and the slack before the first
// 2 MiB boundary and after the array is given back at once.
void *allocate_large(std::size_t bytes) {
    if (bytes < large_array_bytes)
        return ::operator new(bytes);
    const std::size_t size = round_up(bytes);
    void *mapped =
        mmap(nullptr, size + huge_page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED)
        throw std::bad_alloc();
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(mapped);
    const std::uintptr_t aligned = (start + huge_page - 1) / huge_page * huge_page;
    if (aligned > start)
        munmap(mapped, aligned - start);
    if (start + huge_page > aligned)
        munmap(reinterpret_cast<void *>(aligned + size), start + huge_page - aligned);
    void *p = reinterpret_cast<void *>(aligned);
    // Only advice: without it, small pages serve. The whole huge pages the
    // array fills are asked for; the part of the last one it does not fill
    // stays on small pages, so that only what is used becomes resident.
    const std::size_t whole = bytes / huge_page * huge_page;
    madvise(p, whole, MADV_HUGEPAGE);
#if defined(MADV_NOHUGEPAGE)
    if (size > whole)
        madvise(static_cast<char *>(p) + whole, size - whole, MADV_NOHUGEPAGE);
#endif
    return p;
}

void free_large(void *p, std::size_t bytes) {
    if (bytes < large_array_bytes)
        ::operator delete(p);
    else
        munmap(p, round_up(bytes));
}

void release_unused_large(void *p, std::size_t used, std::size_t capacity) {
    if (capacity < large_array_bytes || p == nullptr)
        return;
    const long page_size = sysconf(_SC_PAGESIZE);
    const std::size_t page = page_size > 0 ? static_cast<std::size_t>(page_size) : 4096;
    const std::size_t first = (used + page - 1) / page * page;
    const std::size_t end = round_up(capacity);  // the whole mapping
    if (first < end)
        madvise(static_cast<char *>(p) + first, end - first, MADV_DONTNEED);
}

#else

void *allocate_large(std::size_t bytes) { return ::operator new(bytes); }

void free_large(void *p, std::size_t) { ::operator delete(p); }

void release_unused_large(void *, std::size_t, std::size_t) {}

#endif

}  // namespace brisvel
