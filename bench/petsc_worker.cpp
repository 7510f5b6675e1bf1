// PETSc's side of brisvel-bench-petsc: one timed solve of a benchmark problem
// on the MPI ranks the worker was started with, reported by rank 0.
#include "petsc_worker.h"

#include "problems.h"

#include <petscksp.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace bench {
namespace {

struct WorkerCase {
    Kind kind = Kind::ConvectionDiffusion;
    std::string method;          // bcgs, gmres or cg
    std::string preconditioner;  // jacobi, sor, ilu, icc, hypre (BoomerAMG) or gamg
    int grid = 0;
    double threshold = 1e-8;
};

bool parse_kind(const char *name, Kind &kind) {
    if (std::strcmp(name, "cd") == 0)
        kind = Kind::ConvectionDiffusion;
    else if (std::strcmp(name, "step") == 0)
        kind = Kind::ImplicitStep;
    else if (std::strcmp(name, "poisson") == 0)
        kind = Kind::Poisson;
    else if (std::strcmp(name, "jumps") == 0)
        kind = Kind::Jumps;
    else if (std::strcmp(name, "aniso") == 0)
        kind = Kind::Anisotropic;
    else if (std::strcmp(name, "poisson3d") == 0)
        kind = Kind::Poisson3d;
    else
        return false;
    return true;
}

// Sets the preconditioner; on more than one rank, ILU(0) and IC(0) are
// PETSc's block Jacobi with the factorisation on each rank's block (its
// default), since its own ILU and ICC are sequential. Writes what was used.
PetscErrorCode set_preconditioner(KSP ksp, const std::string &name, PetscMPIInt ranks,
                                  std::string &used) {
    PC pc;
    PetscCall(KSPGetPC(ksp, &pc));
    if (name == "jacobi") {
        PetscCall(PCSetType(pc, PCJACOBI));
        used = "jacobi";
    } else if (name == "sor") {
        PetscCall(PCSetType(pc, PCSOR));
        PetscCall(PCSORSetSymmetric(pc, SOR_LOCAL_SYMMETRIC_SWEEP));
        PetscCall(PCSORSetOmega(pc, 1.0));
        used = "sor(local symmetric)";
    } else if (name == "hypre") {
        PetscCall(PCSetType(pc, PCHYPRE));
        PetscCall(PCHYPRESetType(pc, "boomeramg"));
        used = "hypre boomeramg";
    } else if (name == "gamg") {
        PetscCall(PCSetType(pc, PCGAMG));
        used = "gamg";
    } else if (ranks == 1) {
        PetscCall(PCSetType(pc, name == "ilu" ? PCILU : PCICC));
        PetscCall(PCFactorSetLevels(pc, 0));
        used = name == "ilu" ? "ilu(0)" : "icc(0)";
    } else {
        PetscCall(PCSetType(pc, PCBJACOBI));
        PetscCall(PetscOptionsSetValue(nullptr, "-sub_pc_type", name.c_str()));
        used = name == "ilu" ? "bjacobi+ilu(0)" : "bjacobi+icc(0)";
    }
    return 0;
}

PetscErrorCode solve_once(const WorkerCase &c) {
    PetscMPIInt rank = 0, ranks = 1;
    PetscCallMPI(MPI_Comm_rank(PETSC_COMM_WORLD, &rank));
    PetscCallMPI(MPI_Comm_size(PETSC_COMM_WORLD, &ranks));
    // Every rank holds the rows, as brisvel's caller does; each gives its own.
    const Problem p = make_problem(c.kind, c.grid);
    const PetscInt n = p.cols;

    PetscCallMPI(MPI_Barrier(PETSC_COMM_WORLD));
    const double t0 = MPI_Wtime();
    Mat a;
    Vec x, b;
    PetscCall(MatCreate(PETSC_COMM_WORLD, &a));
    PetscCall(MatSetSizes(a, PETSC_DECIDE, PETSC_DECIDE, n, n));
    PetscCall(MatSetType(a, MATAIJ));
    PetscCall(MatSeqAIJSetPreallocation(a, max_row_entries, nullptr));
    // Across a split between ranks a row has at most all its neighbours.
    PetscCall(MatMPIAIJSetPreallocation(a, max_row_entries, nullptr, max_row_entries - 1, nullptr));
    PetscInt lo = 0, hi = 0;
    PetscCall(MatGetOwnershipRange(a, &lo, &hi));
    PetscCall(MatCreateVecs(a, &x, &b));
    for (PetscInt i = lo; i < hi; ++i) {
        const auto row = static_cast<std::size_t>(i);
        const auto first = static_cast<std::size_t>(p.start[row]);
        const auto count = static_cast<std::size_t>(p.start[row + 1]) - first;
        PetscInt cols[max_row_entries];
        for (std::size_t k = 0; k < count; ++k)
            cols[k] = p.col[first + k];
        PetscCall(MatSetValues(a, 1, &i, static_cast<PetscInt>(count), cols, &p.val[first],
                               INSERT_VALUES));
        PetscCall(VecSetValue(b, i, p.rhs[row], INSERT_VALUES));
    }
    PetscCall(MatAssemblyBegin(a, MAT_FINAL_ASSEMBLY));
    PetscCall(MatAssemblyEnd(a, MAT_FINAL_ASSEMBLY));
    PetscCall(VecAssemblyBegin(b));
    PetscCall(VecAssemblyEnd(b));

    KSP ksp;
    PetscCall(KSPCreate(PETSC_COMM_WORLD, &ksp));
    PetscCall(KSPSetOperators(ksp, a, a));
    std::string used;
    if (c.method == "cg") {
        // CG takes its preconditioner on the left; it stops on ||b - Ax||.
        PetscCall(KSPSetType(ksp, KSPCG));
        PetscCall(KSPSetPCSide(ksp, PC_LEFT));
        used = "cg";
    } else {
        PetscCall(KSPSetType(ksp, c.method == "gmres" ? KSPGMRES : KSPBCGS));
        PetscCall(KSPSetPCSide(ksp, PC_RIGHT));
        used = c.method == "gmres" ? "gmres(30), right" : "bcgs, right";
        if (c.method == "gmres")
            PetscCall(KSPGMRESSetRestart(ksp, 30));
    }
    PetscCall(KSPSetNormType(ksp, KSP_NORM_UNPRECONDITIONED));
    PetscCall(KSPSetTolerances(ksp, c.threshold, 0.0, PETSC_DEFAULT, std::max(1000, 2 * n)));
    std::string pc_used;
    PetscCall(set_preconditioner(ksp, c.preconditioner, ranks, pc_used));
    PetscCall(KSPSetFromOptions(ksp));
    PetscCall(KSPSolve(ksp, b, x));
    // The answer gathered on rank 0, as brisvel's is read back by its caller.
    VecScatter gather;
    Vec x0;
    PetscCall(VecScatterCreateToZero(x, &gather, &x0));
    PetscCall(VecScatterBegin(gather, x, x0, INSERT_VALUES, SCATTER_FORWARD));
    PetscCall(VecScatterEnd(gather, x, x0, INSERT_VALUES, SCATTER_FORWARD));
    const double seconds = MPI_Wtime() - t0;

    PetscInt iterations = 0;
    PetscReal rnorm = 0.0, bnorm = 0.0;
    KSPConvergedReason reason;
    PetscCall(KSPGetIterationNumber(ksp, &iterations));
    PetscCall(KSPGetResidualNorm(ksp, &rnorm));
    PetscCall(KSPGetConvergedReason(ksp, &reason));
    PetscCall(VecNorm(b, NORM_2, &bnorm));
    if (rank == 0) {
        const PetscScalar *answer;
        PetscCall(VecGetArrayRead(x0, &answer));
        const double residual = relative_residual(p, answer);
        PetscCall(VecRestoreArrayRead(x0, &answer));
        std::printf("result %.9g %d %.6e %.6e %d %s; %s\n", seconds, static_cast<int>(iterations),
                    residual, static_cast<double>(rnorm / bnorm), static_cast<int>(reason),
                    used.c_str(), pc_used.c_str());
        std::fflush(stdout);
    }
    PetscCall(VecScatterDestroy(&gather));
    PetscCall(VecDestroy(&x0));
    PetscCall(KSPDestroy(&ksp));
    PetscCall(VecDestroy(&x));
    PetscCall(VecDestroy(&b));
    PetscCall(MatDestroy(&a));
    return 0;
}

}  // namespace

int petsc_worker(int argc, char **argv) {
    // argv: program --worker KIND METHOD PRECONDITIONER GRID THRESHOLD [PETSc options]
    WorkerCase c;
    if (argc < 7 || !parse_kind(argv[2], c.kind)) {
        std::fputs("brisvel-bench-petsc --worker: bad arguments\n", stderr);
        return 2;
    }
    c.method = argv[3];
    c.preconditioner = argv[4];
    c.grid = std::atoi(argv[5]);
    c.threshold = std::atof(argv[6]);
    if (PetscInitialize(&argc, &argv, nullptr, nullptr) != 0)
        return 1;
    const PetscErrorCode code = solve_once(c);
    if (PetscFinalize() != 0 || code != 0)
        return 1;
    return 0;
}

}  // namespace bench
