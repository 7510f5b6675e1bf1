// The benchmark problems on a grid x grid mesh, and residuals in long double.
#include "problems.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace bench {
namespace {

constexpr double velocity = 20.0;  // convection speed on the unit square, both directions
constexpr double reaction = 0.01;  // the implicit step's extra diagonal, h^2 / dt
constexpr double damping = 0.1;    // least squares: rows (1 + damping) u_k - u_neighbour
constexpr double contrast = 1e4;   // the jumps' coefficient in every other tile
constexpr double weak = 1e-3;      // the anisotropic problem's coefficient of u_yy

// The 5-point stencil on row i: centre, west, east, south and north.
Row stencil_row(int grid, int i, double centre, double west, double east, double south,
                double north) {
    Row row;
    const int gx = i % grid, gy = i / grid;
    auto add = [&row](int col, double val) {
        row.col[row.count] = col;
        row.val[row.count] = val;
        ++row.count;
    };
    if (gy > 0)
        add(i - grid, south);
    if (gx > 0)
        add(i - 1, west);
    add(i, centre);
    if (gx + 1 < grid)
        add(i + 1, east);
    if (gy + 1 < grid)
        add(i + grid, north);
    row.rhs = 1.0;  // a uniform source
    return row;
}

// Least squares: row 2k differences u_k with its east neighbour, row 2k+1
// with its north one; the damping makes the columns independent.
Row least_squares_row(int grid, int i) {
    Row row;
    const int k = i / 2, gx = k % grid, gy = k / grid;
    row.col[0] = k;
    row.val[0] = 1.0 + damping;
    row.count = 1;
    const int neighbour =
        i % 2 == 0 ? (gx + 1 < grid ? k + 1 : -1) : (gy + 1 < grid ? k + grid : -1);
    if (neighbour >= 0) {
        row.col[1] = neighbour;
        row.val[1] = -1.0;
        row.count = 2;
    }
    row.rhs = i % 2 == 0 ? 1.0 : std::sin(0.001 * k);  // not in the range of A
    return row;
}

// A seeded stream of numbers for one row: splitmix64 from the row's index.
struct RowRandom {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }  // [0, 1)
};

// Five distinct random columns, values uniform in [-1, 1), random b: a
// general sparse A, whose A'A has about 50 entries a row.
Row random_least_squares_row(int grid, int i) {
    Row row;
    RowRandom random{std::uint64_t{0x5eed0000} + static_cast<std::uint64_t>(i)};
    const auto cols = static_cast<std::uint64_t>(grid) * static_cast<std::uint64_t>(grid);
    while (row.count < max_row_entries) {
        const int col = static_cast<int>(random.next() % cols);
        if (std::find(row.col, row.col + row.count, col) != row.col + row.count)
            continue;  // a column once a row
        row.col[row.count] = col;
        row.val[row.count] = 2.0 * random.uniform() - 1.0;
        ++row.count;
    }
    std::sort(row.col, row.col + row.count);  // (values stay random in any order)
    row.rhs = 2.0 * random.uniform() - 1.0;
    return row;
}

// 3 in column i mod n, and four more distinct columns at random with values
// uniform in [-1, 1), b = 1: well conditioned, solved in a few dozen
// iterations, so that the fixed costs of a solve show.
Row dominant_least_squares_row(int grid, int i) {
    Row row;
    RowRandom random{std::uint64_t{0xd0e50000} + static_cast<std::uint64_t>(i)};
    const auto cols = static_cast<std::uint64_t>(grid) * static_cast<std::uint64_t>(grid);
    row.col[0] = static_cast<int>(static_cast<std::uint64_t>(i) % cols);
    row.val[0] = 3.0;
    row.count = 1;
    while (row.count < 5) {
        const int col = static_cast<int>(random.next() % cols);
        if (std::find(row.col, row.col + row.count, col) != row.col + row.count)
            continue;  // a column once a row
        row.col[row.count] = col;
        row.val[row.count] = 2.0 * random.uniform() - 1.0;
        ++row.count;
    }
    row.rhs = 1.0;
    return row;
}

// -div(k grad u) = 1 with k 1 or contrast in a checkerboard of 8 x 8 tiles:
// each face weighted by the harmonic mean of its two cells' k, a boundary
// face by the cell's own.
Row jumps_row(int grid, int i) {
    const int tile = std::max(1, grid / 8);
    auto k = [tile](int x, int y) { return (x / tile + y / tile) % 2 != 0 ? contrast : 1.0; };
    const int gx = i % grid, gy = i / grid;
    const double own = k(gx, gy);
    auto face = [&](int x, int y) {
        if (x < 0 || y < 0 || x >= grid || y >= grid)
            return own;
        const double other = k(x, y);
        return 2.0 * own * other / (own + other);
    };
    const double s = face(gx, gy - 1), w = face(gx - 1, gy), e = face(gx + 1, gy),
                 n = face(gx, gy + 1);
    return stencil_row(grid, i, s + w + e + n, -w, -e, -s, -n);
}

// The 7-point Laplacian on a cube of side points a side.
Row poisson_3d_row(int side, int i) {
    Row row;
    const int x = i % side, y = (i / side) % side, z = i / (side * side);
    auto add = [&row](int col, double val) {
        row.col[row.count] = col;
        row.val[row.count] = val;
        ++row.count;
    };
    const int plane = side * side;
    if (z > 0)
        add(i - plane, -1.0);
    if (y > 0)
        add(i - side, -1.0);
    if (x > 0)
        add(i - 1, -1.0);
    add(i, 6.0);
    if (x + 1 < side)
        add(i + 1, -1.0);
    if (y + 1 < side)
        add(i + side, -1.0);
    if (z + 1 < side)
        add(i + plane, -1.0);
    row.rhs = 1.0;
    return row;
}

}  // namespace

int side_3d(int grid) {
    const long long points = static_cast<long long>(grid) * grid;
    int side = 10;
    while (static_cast<long long>(side) * side * side < points)
        side += 10;
    return side;
}

int problem_rows(Kind kind, int grid) {
    if (kind == Kind::Poisson3d)
        return side_3d(grid) * side_3d(grid) * side_3d(grid);
    return least_squares(kind) ? 2 * grid * grid : grid * grid;
}

int problem_cols(Kind kind, int grid) {
    return kind == Kind::Poisson3d ? problem_rows(kind, grid) : grid * grid;
}

Row problem_row(Kind kind, int grid, int i) {
    const double c = velocity / (2.0 * (grid + 1));  // velocity h / 2, with h = 1 / (grid + 1)
    switch (kind) {
    case Kind::ConvectionDiffusion:
        return stencil_row(grid, i, 4.0, -1.0 - c, -1.0 + c, -1.0 - c, -1.0 + c);
    case Kind::ImplicitStep:
        return stencil_row(grid, i, 4.0 + reaction, -1.0 - c, -1.0 + c, -1.0 - c, -1.0 + c);
    case Kind::Poisson:
        return stencil_row(grid, i, 4.0, -1.0, -1.0, -1.0, -1.0);
    case Kind::RandomLeastSquares:
        return random_least_squares_row(grid, i);
    case Kind::DominantLeastSquares:
        return dominant_least_squares_row(grid, i);
    case Kind::Jumps:
        return jumps_row(grid, i);
    case Kind::Anisotropic:
        return stencil_row(grid, i, 2.0 + 2.0 * weak, -1.0, -1.0, -weak, -weak);
    case Kind::Poisson3d:
        return poisson_3d_row(side_3d(grid), i);
    default:
        return least_squares_row(grid, i);
    }
}

Problem make_problem(Kind kind, int grid) {
    Problem p;
    p.kind = kind;
    p.grid = grid;
    p.rows = problem_rows(kind, grid);
    p.cols = problem_cols(kind, grid);
    p.start.reserve(static_cast<std::size_t>(p.rows) + 1);
    p.col.reserve(static_cast<std::size_t>(p.rows) * max_row_entries);
    p.val.reserve(static_cast<std::size_t>(p.rows) * max_row_entries);
    p.rhs.reserve(static_cast<std::size_t>(p.rows));
    for (int i = 0; i < p.rows; ++i) {
        const Row row = problem_row(kind, grid, i);
        for (int k = 0; k < row.count; ++k) {
            p.col.push_back(row.col[k]);
            p.val.push_back(row.val[k]);
        }
        p.start.push_back(static_cast<std::int64_t>(p.col.size()));
        p.rhs.push_back(row.rhs);
    }
    return p;
}

namespace {

// r = b - A x in long double.
std::vector<long double> residual_vector(const Problem &p, const double *x) {
    std::vector<long double> r(static_cast<std::size_t>(p.rows));
    for (std::size_t i = 0; i < r.size(); ++i) {
        long double sum = p.rhs[i];
        const auto row_end = static_cast<std::size_t>(p.start[i + 1]);
        for (auto k = static_cast<std::size_t>(p.start[i]); k < row_end; ++k)
            sum -= static_cast<long double>(p.val[k]) * x[p.col[k]];
        r[i] = sum;
    }
    return r;
}

// A' v in long double.
std::vector<long double> transposed_product(const Problem &p, const std::vector<long double> &v) {
    std::vector<long double> out(static_cast<std::size_t>(p.cols), 0.0L);
    const std::size_t rows = static_cast<std::size_t>(p.rows);
    for (std::size_t i = 0; i < rows; ++i) {
        const auto row_end = static_cast<std::size_t>(p.start[i + 1]);
        for (auto k = static_cast<std::size_t>(p.start[i]); k < row_end; ++k)
            out[static_cast<std::size_t>(p.col[k])] += p.val[k] * v[i];
    }
    return out;
}

long double norm(const std::vector<long double> &v) {
    long double sum = 0.0L;
    for (long double e : v)
        sum += e * e;
    return std::sqrt(sum);
}

}  // namespace

double relative_residual(const Problem &p, const double *x) {
    const std::vector<long double> b(p.rhs.begin(), p.rhs.end());
    return static_cast<double>(norm(residual_vector(p, x)) / norm(b));
}

double normal_residual(const Problem &p, const double *x) {
    const std::vector<long double> b(p.rhs.begin(), p.rhs.end());
    return static_cast<double>(norm(transposed_product(p, residual_vector(p, x))) /
                               norm(transposed_product(p, b)));
}

Problem make_band(int rows, int per_row) {
    Problem p;
    p.rows = p.cols = rows;
    p.start.reserve(static_cast<std::size_t>(rows) + 1);
    p.col.reserve(static_cast<std::size_t>(rows) * static_cast<std::size_t>(per_row));
    p.val.reserve(p.col.capacity());
    p.rhs.assign(static_cast<std::size_t>(rows), 1.0);
    for (int i = 0; i < rows; ++i) {
        const int first = std::max(0, std::min(i - per_row / 2, rows - per_row));
        for (int k = 0; k < per_row; ++k) {
            p.col.push_back(first + k);
            p.val.push_back(first + k == i ? 2.0 * per_row : -1.0 / (1.0 + k));
        }
        p.start.push_back(static_cast<std::int64_t>(p.col.size()));
    }
    return p;
}

}  // namespace bench
