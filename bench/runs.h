// Timed runs of the same work through brisvel's public interface and through Eigen.
#pragma once

#include "problems.h"

#include <sstream>
#include <string>
#include <vector>

namespace bench {

// The non-empty items of a comma-separated list, as the options take them.
inline std::vector<std::string> split_list(const char *text) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, ','))
        if (!part.empty())
            parts.push_back(part);
    return parts;
}

enum class Solver {
    Bicgstab,      // BiCGStab, Jacobi
    Cg,            // conjugate gradients, Jacobi
    Gmres,         // restarted GMRES(30), Jacobi
    LeastSquares,  // brisvel's least-squares default, LSMR; Eigen's LeastSquaresConjugateGradient
    Cgls,          // brisvel's CG in least-squares mode, CGLS; the same Eigen solver
    SparseLu,      // brisvel's SuperLU extension; Eigen's SparseLU
    Cholesky,      // brisvel's CHOLMOD extension; Eigen's SimplicialLDLT
};

// brisvel's preconditioner for a solve; Jacobi unless a case says otherwise.
enum class Preconditioner { Jacobi, Ssor, Ilu0, Ic0, Amg };

struct Outcome {
    bool available = true;   // false when the solver could not be used at all
    bool succeeded = false;  // the library reported success
    double seconds = 0.0;    // building the matrix and solving
    int iterations = -1;     // -1 for direct solvers
    double residual = 0.0;   // true relative residual of the answer, computed here
    double claimed = -1.0;   // the relative residual the library reported, when it does
    double setup = -1.0;     // seconds of the solve spent building the preconditioner, if told
    std::string note;        // why it failed, when it did
};

// Seconds since an arbitrary start.
double now();
// The processor's model name as the system gives it, for the reports: the
// ratios move between models.
std::string cpu_model();

// Progress lines on standard error for long runs.
struct Progress {
    bool enabled = false;
    std::string label;
    double started = 0.0;
    double last = 0.0;
};

// Assembly alone: rows through qvBegin/qvCoefficient/qvEnd, or with
// qvCoefficients for each row's entries when bulk; seconds.
double brisvel_assembly(const Problem &p, bool bulk = false);
// The same with qvCoefficients, into a context that held the problem before
// and keeps its arrays' room: how a sequence of like systems is assembled.
double brisvel_reassembly(const Problem &p);
// Building Eigen's matrix from triplets, and its right-hand side; seconds.
double eigen_assembly(const Problem &p);

// Assembly and solve, judged afterwards by the true residual.
Outcome brisvel_solve(const Problem &p, Solver solver, double threshold, int threads,
                      Progress *progress, Preconditioner preconditioner = Preconditioner::Jacobi);
Outcome eigen_solve(const Problem &p, Solver solver, double threshold);

// Many independent small solves: `systems` convection-diffusion problems on
// a grid x grid mesh, each with its own right-hand side, solved with
// BiCGStab and Jacobi by `callers` threads at once, each thread in contexts
// of its own (a new one for each system). Every answer goes to answers,
// systems x unknowns, so that runs can be compared to the bit.
struct CallersRun {
    double seconds = 0.0;
    int failures = 0;          // systems whose solve reported failure
    double worst = 0.0;        // the largest true relative residual
    long long iterations = 0;  // summed over the systems
};
CallersRun brisvel_callers(int systems, int grid, int callers, double threshold,
                           std::vector<double> &answers);

// Effective bandwidth of y = A x in GB/s, counting 12 bytes per nonzero and
// 16 per row for the two vectors; best of products repeated for some seconds.
double brisvel_spmv_bandwidth(const Problem &p, int threads, double seconds);
double eigen_spmv_bandwidth(const Problem &p, double seconds);

// A solve of a problem made row by row on the fly, for measuring the peak
// memory of each library alone: BiCGStab, or for a least-squares kind
// brisvel's default (LSMR) and Eigen's LeastSquaresConjugateGradient; true
// when it succeeded.
bool brisvel_unstored(Kind kind, int grid, double threshold, int threads);
bool eigen_unstored(Kind kind, int grid, double threshold);

// Peak resident memory in bytes of running job in a child process, or -1.
long long peak_memory_of(bool (*job)(Kind, int, double, int), Kind kind, int grid, double threshold,
                         int threads);

// The reuse cases, printed as their own tables: a second solve with a new
// right-hand side and three right-hand sides in one solve (2D Laplacian
// 500 x 500), a sequence of 100 solves moving locked values (300 x 300),
// and whole-array assembly; against Eigen's compute() once, solve() for each.
void run_reuse_cases(int threads, double threshold);

// The mesh case, printed as its own table: least-squares conformal maps of
// the triangle mesh in an OBJ file and of it subdivided 1 .. subdivisions
// times, by LSMR, CGLS, CG with AMG on A'A and CHOLMOD, and by Eigen's
// SimplicialLDLT on the reduced normal equations; each answer's distance
// from Eigen's. False when the file cannot be read.
bool run_mesh_cases(const char *path, int subdivisions, int threads, double threshold);

// A streaming triad a = b + s c over arrays of n doubles, STREAM's count of
// 24 bytes per entry; best of five runs, GB/s.
double triad_bandwidth(std::size_t n, int threads);

}  // namespace bench
