// Problems, assembly through the public interface and independent checks
// shared by the unit tests.
#pragma once

#include <brisvel/brisvel.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <vector>

namespace testing_support {

struct Entry {
    int row;
    int col;
    double value;
};

// A sparse problem held as plain entries, independent of the library.
struct Problem {
    int rows = 0;
    int cols = 0;
    std::vector<Entry> entries;  // row-major order, possibly with repeats
    std::vector<double> rhs;
};

// 5-point convection-diffusion on a grid x grid mesh: nonsymmetric, and
// b = A x* for a known smooth x*.
Problem convection_diffusion(int grid, double convection);
// 5-point Poisson on a grid x grid mesh: symmetric positive definite.
Problem poisson(int grid);
// 5-point Poisson minus shift times the identity: symmetric, and indefinite
// when shift lies inside the spectrum (0, 8).
Problem shifted_poisson(int grid, double shift);
// -div(k grad u) = 1 on a grid x grid mesh of cells, Dirichlet boundary, k
// 1 and contrast in a checkerboard of 8 x 8 tiles, faces weighted by the
// harmonic mean of their cells' k: symmetric positive definite, and for a
// large contrast as hard to solve to a small residual as rounding allows.
Problem checkerboard_diffusion(int grid, double contrast);
// The exact solution used to build the right-hand sides above.
double known_solution(int index);

// Creates a context and assembles the problem row by row. Variables listed in
// locked are locked at the given values before the matrix.
void assemble(const Problem &p, QVint method, QVint preconditioner, bool least_squares = false,
              const std::vector<std::pair<int, double>> &locked = {});
// Assembles the problem into the current context, its settings as they are.
void send_system(const Problem &p, const std::vector<std::pair<int, double>> &locked = {});
// Deletes the current context until none is left and clears the last error:
// what every test leaves behind for the next.
void release_contexts();
// Reads every variable back from the current context.
std::vector<double> read_variables(int count);
// ||b - Ax|| / ||b||, computed here from the entries.
double relative_residual(const Problem &p, const std::vector<double> &x);
// ||A'(b - Ax)|| / ||A'b||.
double normal_residual(const Problem &p, const std::vector<double> &x);
// Least-squares solution of the dense problem, computed with Householder QR in
// long double, with the locked variables' terms moved to the right-hand side.
std::vector<double> dense_least_squares(const Problem &p,
                                        const std::vector<std::pair<int, double>> &locked);

// A test that starts with no error recorded and leaves no context behind.
class LibraryTest : public ::testing::Test {
  protected:
    void SetUp() override { qvGetError(); }
    void TearDown() override { release_contexts(); }
};

// Runs body with the process's address space limited to what it uses now
// plus extra bytes; false, running nothing, where that cannot be done.
bool with_memory_limit(std::size_t extra, const std::function<void()> &body);

}  // namespace testing_support
