// Large arrays on huge pages: their own 2 MiB-aligned mappings, marked with madvise, on Linux.
#include "kernels/large_allocator.h"

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cstdint>

namespace brisvel {

#if defined(__linux__) && defined(MADV_HUGEPAGE)

namespace {

constexpr std::size_t huge_page = std::size_t{2} << 20;
constexpr std::size_t cache_line = 64;
constexpr std::size_t small_page = 4096;

std::size_t round_up(std::size_t bytes) { return (bytes + huge_page - 1) / huge_page * huge_page; }

// Each array starts a different number of cache lines into its first huge
// page. Were they all aligned alike, the passes that stream several of them
// at once would meet entry i of each in the same cache set, where some
// processors (those that pick a set's way by a hash of the virtual address)
// can keep only one of two lines whose addresses hash alike: two arrays a
// multiple of 256 MiB apart then evicted each other at every entry, and a
// pass over five of them took several times as long.
std::size_t next_colour() {
    static std::atomic<unsigned> count{0};
    const unsigned k = count.fetch_add(1, std::memory_order_relaxed);
    return static_cast<std::size_t>(k % (small_page / cache_line)) * cache_line;
}

// Where the mapping of an array from allocate_large begins, and its length.
char *mapping_of(void *p) {
    const std::uintptr_t a = reinterpret_cast<std::uintptr_t>(p);
    return reinterpret_cast<char *>(a / huge_page * huge_page);
}
std::size_t mapping_length(void *p, std::size_t bytes) {
    return round_up(static_cast<std::size_t>(static_cast<char *>(p) - mapping_of(p)) + bytes);
}

}  // namespace

// The mapping is made one huge page longer, and the slack before the first
// 2 MiB boundary and after the array is given back at once.
void *allocate_large(std::size_t bytes) {
    if (bytes < large_array_bytes)
        return ::operator new(bytes);
    const std::size_t colour = next_colour();
    const std::size_t size = round_up(colour + bytes);
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
    char *base = reinterpret_cast<char *>(aligned);
    // Only advice: without it, small pages serve. The whole huge pages the
    // array fills are asked for; the part of the last one it does not fill
    // stays on small pages, so that only what is used becomes resident.
    const std::size_t whole = (colour + bytes) / huge_page * huge_page;
    madvise(base, whole, MADV_HUGEPAGE);
#if defined(MADV_NOHUGEPAGE)
    if (size > whole)
        madvise(base + whole, size - whole, MADV_NOHUGEPAGE);
#endif
    return base + colour;
}

void free_large(void *p, std::size_t bytes) {
    if (bytes < large_array_bytes)
        ::operator delete(p);
    else
        munmap(mapping_of(p), mapping_length(p, bytes));
}

void release_unused_large(void *p, std::size_t used, std::size_t capacity) {
    if (capacity < large_array_bytes || p == nullptr)
        return;
    const long page_size = sysconf(_SC_PAGESIZE);
    const std::size_t page = page_size > 0 ? static_cast<std::size_t>(page_size) : small_page;
    char *base = mapping_of(p);
    const std::size_t offset = static_cast<std::size_t>(static_cast<char *>(p) - base);
    const std::size_t first = (offset + used + page - 1) / page * page;
    const std::size_t end = mapping_length(p, capacity);  // the whole mapping
    if (first < end)
        madvise(base + first, end - first, MADV_DONTNEED);
}

#else

void *allocate_large(std::size_t bytes) { return ::operator new(bytes); }

void free_large(void *p, std::size_t) { ::operator delete(p); }

void release_unused_large(void *, std::size_t, std::size_t) {}

#endif

}  // namespace brisvel
