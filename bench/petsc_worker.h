// The PETSc worker of brisvel-bench-petsc, run under mpiexec by the driver.
#pragma once

namespace bench {

// Runs one PETSc solve as described by argv (see petsc_worker.cpp) and
// prints its result line on rank 0; the process's exit code.
int petsc_worker(int argc, char **argv);

}  // namespace bench
