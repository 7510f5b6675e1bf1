// Work vectors kept in a context from one solve to the next.
#pragma once

#include "kernels/csr.h"

#include <cstddef>

namespace brisvel {

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
            storage_.resize(count * n);
            n_ = n;
        }
        return storage_.data();
    }
    void release() {
        Vector().swap(storage_);
        n_ = 0;
    }
    std::size_t bytes() const { return storage_.size() * sizeof(double); }

  private:
    std::size_t n_ = 0;
    Vector storage_;
};

}  // namespace brisvel
