// The benchmark's test problems, held independently of both libraries, and
// the true residuals of answers computed from them.
#pragma once

#include <cstdint>
#include <vector>

namespace bench {

enum class Kind {
    ConvectionDiffusion,   // -u'' + 20 (u_x + u_y) = 1, central differences: nonsymmetric
    ImplicitStep,          // the same with a small reaction term, as one implicit time step
    Poisson,               // 5-point Laplacian, symmetric positive definite
    LeastSquares,          // 2n x n: two damped differences per grid point
    RandomLeastSquares,    // 2n x n: five entries a row in random columns, seeded
    DominantLeastSquares,  // 2n x n: 3 in column i mod n and four random entries, b = 1
    Jumps,                 // -div(k grad u) = 1, k 1 and 1e4 in a checkerboard of 8 x 8 tiles
    Anisotropic,           // -u_xx - 1e-3 u_yy = 1
    Poisson3d,             // 7-point Laplacian on a cube of side_3d(grid) points a side
};

// True for the kinds solved in least-squares mode.
inline bool least_squares(Kind kind) {
    return kind == Kind::LeastSquares || kind == Kind::RandomLeastSquares ||
           kind == Kind::DominantLeastSquares;
}

// A sparse matrix and right-hand side in plain compressed rows.
struct Problem {
    Kind kind = Kind::Poisson;
    int grid = 0;  // (the 3D problem's cube has side_3d(grid) points a side)
    int rows = 0;
    int cols = 0;
    std::vector<std::int64_t> start{0};  // row i holds entries start[i] .. start[i+1]
    std::vector<int> col;
    std::vector<double> val;
    std::vector<double> rhs;

    std::int64_t nonzeros() const { return start.back(); }
};

// The largest number of entries a row of any problem has.
constexpr int max_row_entries = 7;

// The side of the cube of the 3D problem run for a grid x grid size: the
// smallest multiple of 10 whose cube has grid^2 points or more (80 for 700,
// 100 for 1000).
int side_3d(int grid);

// The entries of one row: count columns and values, and the right-hand side.
struct Row {
    int count = 0;
    int col[max_row_entries];
    double val[max_row_entries];
    double rhs = 0.0;
};

int problem_rows(Kind kind, int grid);
int problem_cols(Kind kind, int grid);
// Row i of the problem, made on the fly, so that a run can assemble a
// problem without holding a copy of it.
Row problem_row(Kind kind, int grid, int i);
// The whole problem, stored.
Problem make_problem(Kind kind, int grid);

// A square banded matrix whose rows hold `per_row` entries each, columns
// ascending, about the diagonal: for timing assembly by row length.
Problem make_band(int rows, int per_row);

// ||b - Ax|| / ||b||, in long double.
double relative_residual(const Problem &p, const double *x);
// ||A'(b - Ax)|| / ||A'b||, in long double: the residual least squares minimises.
double normal_residual(const Problem &p, const double *x);

}  // namespace bench
