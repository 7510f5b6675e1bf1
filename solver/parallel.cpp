// The thread count the kernels run with.
#include "parallel.h"

namespace brisvel {
namespace {

int threads_in_use = 1;

} // namespace

int hardware_threads() {
#ifdef _OPENMP
    const int procs = omp_get_num_procs();
    return procs > 0 ? procs : 1;
#else
    return 1;
#endif
}

int kernel_threads() { return threads_in_use; }

void set_kernel_threads(int threads) { threads_in_use = threads > 0 ? threads : 1; }

} // namespace brisvel
