// Peak memory of a run, measured alone in a child process.
#include "runs.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace bench {

long long peak_memory_of(bool (*job)(Kind, int, double, int), Kind kind, int grid, double threshold,
                         int threads) {
    const pid_t child = fork();
    if (child < 0)
        return -1;
    if (child == 0)
        _exit(job(kind, grid, threshold, threads) ? 0 : 1);
    int status = 0;
    struct rusage usage {};
    if (wait4(child, &status, 0, &usage) != child || !WIFEXITED(status))
        return -1;
    return static_cast<long long>(usage.ru_maxrss) * 1024;  // ru_maxrss is in KiB on Linux
}

}  // namespace bench
