// An allocator that puts large arrays on huge pages where the system offers them.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

namespace brisvel {

// Arrays at least this big are aligned to huge pages and marked for them.
constexpr std::size_t large_array_bytes = std::size_t{2} << 20;

// Raw storage for large arrays; throw std::bad_alloc when memory runs out.
void *allocate_large(std::size_t bytes);
void free_large(void *p, std::size_t bytes);
// Gives the system back the pages of a large array (of capacity bytes, from
// allocate_large) past its first used bytes; they read as zeros when next
// touched. Of an array that grew by steps, the part of its last huge page it
// has not filled is resident all the same.
void release_unused_large(void *p, std::size_t used, std::size_t capacity);

// For std::vector: arrays of a few megabytes and more get memory that the
// system may back with 2 MiB pages, so that first touching them costs one
// page fault per 2 MiB instead of one per 4 KiB. Smaller ones come from new.
template <class T> struct LargeAllocator {
    using value_type = T;

    LargeAllocator() = default;
    template <class U> LargeAllocator(const LargeAllocator<U> &) {}

    T *allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T))
            throw std::bad_alloc();
        return static_cast<T *>(allocate_large(n * sizeof(T)));
    }
    void deallocate(T *p, std::size_t n) { free_large(p, n * sizeof(T)); }
};

// Gives back the room of an array of the large allocator past its size.
template <class T> void release_unused_room(std::vector<T, LargeAllocator<T>> &a) {
    release_unused_large(a.data(), a.size() * sizeof(T), a.capacity() * sizeof(T));
}

template <class T, class U> bool operator==(const LargeAllocator<T> &, const LargeAllocator<U> &) {
    return true;
}
template <class T, class U> bool operator!=(const LargeAllocator<T> &, const LargeAllocator<U> &) {
    return false;
}

}  // namespace brisvel
