// Work vectors kept in a context from one solve to the next.
#pragma once

#include "kernels/csr.h"
#include "kernels/large_allocator.h"
#include "kernels/parallel.h"

#include <algorithm>
#include <cstddef>
#include <utility>

namespace brisvel {

// Room for count vectors of n entries, one after another, zeroed by the
// threads that work on each part of them (the runs parallel_for gives): a
// team takes the first touches' page faults together, each thread on its
// own part, where one thread would take them all in turn.
class VectorBlock {
  public:
    VectorBlock() = default;
    // Throws std::bad_alloc when memory runs out.
    VectorBlock(std::size_t count, std::size_t n)
        : data_(static_cast<double *>(allocate_large(count * n * sizeof(double)))),
          size_(count * n) {
        double *data = data_;
        parallel_for(n, [=](std::size_t begin, std::size_t end) {
            for (std::size_t j = 0; j < count; ++j)
                std::fill(data + j * n + begin, data + j * n + end, 0.0);
        });
    }
    ~VectorBlock() {
        if (data_ != nullptr)
            free_large(data_, size_ * sizeof(double));
    }
    VectorBlock(VectorBlock &&other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    VectorBlock &operator=(VectorBlock &&other) noexcept {
        VectorBlock gone(std::move(other));
        std::swap(data_, gone.data_);
        std::swap(size_, gone.size_);
        return *this;
    }
    VectorBlock(const VectorBlock &) = delete;
    VectorBlock &operator=(const VectorBlock &) = delete;

    double *data() const { return data_; }
    std::size_t size() const { return size_; }

  private:
    double *data_ = nullptr;
    std::size_t size_ = 0;
};

// The Krylov methods' vectors, owned by the context, so that a second solve
// of a system of the same size maps no fresh memory (and pays no page
// faults). The storage is kept while the vectors' length stays the same and
// given back when it changes, when the system's size is set, and with the
// context. Its contents are whatever the last solve left: every method
// writes a vector before reading it.
class Workspace {
  public:
    // Room for count vectors of n entries each, one after another.
    double *vectors(std::size_t count, std::size_t n) {
        if (n != n_ || storage_.size() < count * n) {
            release();  // the old arrays go before the new ones come
            storage_ = VectorBlock(count, n);
            n_ = n;
        }
        return storage_.data();
    }
    void release() {
        storage_ = VectorBlock();
        n_ = 0;
    }
    std::size_t bytes() const { return storage_.size() * sizeof(double); }

  private:
    std::size_t n_ = 0;
    VectorBlock storage_;
};

}  // namespace brisvel
