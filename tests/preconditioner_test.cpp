// ILU(0), IC(0), AMG and ILUT: an exact case, convergence on hard matrices, pivot failures,
// threads.
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

using namespace testing_support;

namespace {

class Preconditioners : public LibraryTest {};

// A problem from a map of entries per row, with b = A x* for the known x*.
Problem from_rows(int n, const std::vector<std::map<int, double>> &rows) {
    Problem p;
    p.rows = p.cols = n;
    for (int i = 0; i < n; ++i)
        for (const auto &e : rows[static_cast<std::size_t>(i)])
            p.entries.push_back({i, e.first, e.second});
    p.rhs.assign(static_cast<std::size_t>(n), 0.0);
    for (const Entry &e : p.entries)
        p.rhs[static_cast<std::size_t>(e.row)] += e.value * known_solution(e.col);
    return p;
}

// A fixed pseudo-random number in [0, 1) for cell k.
double noise(std::uint32_t k) {
    k = (k ^ 61u) ^ (k >> 16);
    k *= 9u;
    k ^= k >> 4;
    k *= 0x27d4eb2du;
    k ^= k >> 15;
    return (k % 100000u) / 100000.0;
}

// A reservoir-like flow matrix on an nx x ny x nz grid, as in the classic oil
// reservoir test sets: transmissibilities between cells are harmonic means
// of permeabilities spread over 10^-spread .. 10^spread, flow adds upwinded
// convection (nonsymmetric), and each cell has a small storage term.
Problem reservoir(int nx, int ny, int nz, double spread, double flow, double storage) {
    const int n = nx * ny * nz;
    std::vector<double> perm(static_cast<std::size_t>(n));
    for (int k = 0; k < n; ++k)
        perm[static_cast<std::size_t>(k)] =
            std::pow(10.0, spread * (2.0 * noise(static_cast<std::uint32_t>(k)) - 1.0));
    std::vector<std::map<int, double>> rows(static_cast<std::size_t>(n));
    auto link = [&](int a, int b, double velocity) {  // the face between cells a and b
        const double ka = perm[static_cast<std::size_t>(a)], kb = perm[static_cast<std::size_t>(b)];
        const double t = 2.0 * ka * kb / (ka + kb);
        auto &ra = rows[static_cast<std::size_t>(a)], &rb = rows[static_cast<std::size_t>(b)];
        ra[a] += t, ra[b] -= t, rb[b] += t, rb[a] -= t;
        const double q = velocity * t;  // upwind: flow from a to b carries a's value
        ra[a] += q, rb[a] -= q;
    };
    for (int z = 0; z < nz; ++z)
        for (int y = 0; y < ny; ++y)
            for (int x = 0; x < nx; ++x) {
                const int c = (z * ny + y) * nx + x;
                rows[static_cast<std::size_t>(c)][c] += storage * perm[static_cast<std::size_t>(c)];
                if (x + 1 < nx)
                    link(c, c + 1, flow);
                if (y + 1 < ny)
                    link(c, c + nx, 0.5 * flow);
                if (z + 1 < nz)
                    link(c, c + nx * ny, 0.0);
            }
    return from_rows(n, rows);
}

// A plate-bending-like SPD matrix, as structural test sets hold: L S L + m I
// for the 5-point Laplacian L on a grid x grid mesh and stiffnesses S spread
// over four orders of magnitude: a 13-point operator with condition ~ h^-4.
Problem plate(int grid, double mass) {
    const int n = grid * grid;
    std::vector<std::map<int, double>> lap(static_cast<std::size_t>(n)), rows(lap.size());
    for (int y = 0; y < grid; ++y)
        for (int x = 0; x < grid; ++x) {
            const int c = y * grid + x;
            auto &r = lap[static_cast<std::size_t>(c)];
            r[c] = 4.0;
            if (x > 0)
                r[c - 1] = -1.0;
            if (x + 1 < grid)
                r[c + 1] = -1.0;
            if (y > 0)
                r[c - grid] = -1.0;
            if (y + 1 < grid)
                r[c + grid] = -1.0;
        }
    for (int i = 0; i < n; ++i) {
        auto &r = rows[static_cast<std::size_t>(i)];
        r[i] += mass;
        for (const auto &a : lap[static_cast<std::size_t>(i)]) {  // (L S L)_ij
            const double s = std::pow(10.0, 4.0 * noise(static_cast<std::uint32_t>(a.first)) - 2.0);
            for (const auto &b : lap[static_cast<std::size_t>(a.first)])
                r[b.first] += a.second * s * b.second;
        }
    }
    return from_rows(n, rows);
}

// A square Matrix Market coordinate file (general, or symmetric with its
// lower triangle), b = A x*.
Problem read_matrix_market(const std::string &path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    const bool symmetric = line.find("symmetric") != std::string::npos;
    while (std::getline(in, line) && line[0] == '%') {
    }
    std::istringstream size(line);
    int n = 0, m = 0, count = 0;
    size >> n >> m >> count;
    std::vector<std::map<int, double>> rows(static_cast<std::size_t>(n));
    for (int k = 0; k < count; ++k) {
        int i = 0, j = 0;
        double v = 0.0;
        in >> i >> j >> v;
        rows[static_cast<std::size_t>(i - 1)][j - 1] += v;
        if (symmetric && i != j)
            rows[static_cast<std::size_t>(j - 1)][i - 1] += v;
    }
    return from_rows(n, rows);
}

struct Outcome {
    bool solved = false;
    int error = QV_OK;
    int iterations = 0;
    double residual = 0.0;  // recomputed here
    double setup = 0.0;     // the seconds reported for building the preconditioner
    double seconds = 0.0;   // the whole solve's, timed here
    double fill = 0.0;      // the ILUT factors' entries over A's
    std::vector<double> x;
};

// Set on a context before each solve, then left at the defaults again.
struct Setting {
    QVint code;
    double value;
};
std::vector<Setting> extra_settings;

Outcome solve(const Problem &p, QVint method, QVint preconditioner, QVint threads = 1) {
    assemble(p, method, preconditioner);
    for (const Setting &s : extra_settings)
        if (s.code == QV_PARAM_ILUT_SCALING)
            qvSolverParameteri(s.code, static_cast<QVint>(s.value));
        else
            qvSolverParameterd(s.code, s.value);
    qvSolverParameteri(QV_PARAM_THREADS, threads);
    qvSolverParameterd(QV_PARAM_THRESHOLD, 1e-8);
    Outcome o;
    const auto start = std::chrono::steady_clock::now();
    o.solved = qvSolve() != 0;
    o.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    o.error = qvGetError();
    o.iterations = qvGetParameteri(QV_USED_ITERATIONS);
    o.setup = qvGetParameterd(QV_SETUP_SECONDS);
    o.fill = qvGetParameterd(QV_FACTOR_FILL);
    o.x = read_variables(p.cols);
    o.residual = relative_residual(p, o.x);
    qvDeleteContext(qvGetCurrent());
    return o;
}

// A tridiagonal matrix has no fill: its ILU(0) is its LU, its IC(0) its
// Cholesky factor, and one application of either solves the system.
TEST_F(Preconditioners, TridiagonalFactorsAreExact) {
    const int n = 200;
    std::vector<std::map<int, double>> lu(n), spd(n);
    for (int i = 0; i < n; ++i) {
        lu[static_cast<std::size_t>(i)][i] = 2.5 + std::sin(i);
        spd[static_cast<std::size_t>(i)][i] = 2.5 + std::sin(i);
        if (i > 0) {
            lu[static_cast<std::size_t>(i)][i - 1] = -1.0 - 0.3 * std::cos(i);
            spd[static_cast<std::size_t>(i)][i - 1] = -1.0;
        }
        if (i + 1 < n) {
            lu[static_cast<std::size_t>(i)][i + 1] = -0.7;
            spd[static_cast<std::size_t>(i)][i + 1] = -1.0;
        }
    }
    const Outcome ilu = solve(from_rows(n, lu), QV_METHOD_GMRES, QV_PRECONDITIONER_ILU0);
    EXPECT_TRUE(ilu.solved);
    EXPECT_EQ(ilu.iterations, 1);
    EXPECT_LT(ilu.residual, 1e-13);
    const Outcome ic = solve(from_rows(n, spd), QV_METHOD_CG, QV_PRECONDITIONER_IC0);
    EXPECT_TRUE(ic.solved);
    EXPECT_EQ(ic.iterations, 1);
    EXPECT_LT(ic.residual, 1e-13);
}

// Hard matrices of the kinds the public collections hold: ILU(0) and IC(0)
// must solve every one, by the true residual, where Jacobi fails on some.
TEST_F(Preconditioners, SolveReservoirAndStructuralMatrices) {
    const Problem nonsymmetric[] = {
        reservoir(16, 16, 16, 3.0, 0.5, 1e-4),  // pores/sherman-like, 3D, six decades
        reservoir(40, 40, 1, 2.0, 2.0, 1e-5),   // orsirr-like, 2D, strong flow
        reservoir(30, 10, 10, 3.0, 0.1, 1e-3),  // saylr-like, 3D, six decades
    };
    const Problem symmetric[] = {plate(24, 1e-4), reservoir(20, 20, 8, 3.0, 0.0, 1e-6),
                                 read_matrix_market(BRISVEL_TEST_MATRICES "/g20.mtx")};
    int jacobi = 0, incomplete = 0, cases = 0;
    for (const Problem &p : nonsymmetric)
        for (QVint method : {QV_METHOD_BICGSTAB, QV_METHOD_GMRES}) {
            const Outcome o = solve(p, method, QV_PRECONDITIONER_ILU0);
            EXPECT_TRUE(o.solved) << p.rows << " " << method;
            EXPECT_TRUE(o.setup > 0.0 && o.setup <= o.seconds) << o.setup;  // part of the solve
            EXPECT_LE(o.residual, 1e-8 * 1.01) << p.rows << " " << method;
            incomplete += o.solved && o.residual <= 1e-8 * 1.01;
            jacobi += solve(p, method, QV_PRECONDITIONER_JACOBI).solved;
            ++cases;
        }
    for (const Problem &p : symmetric) {
        const Outcome o = solve(p, QV_METHOD_CG, QV_PRECONDITIONER_IC0);
        EXPECT_TRUE(o.solved) << p.rows;
        EXPECT_LE(o.residual, 1e-8 * 1.01) << p.rows;
        incomplete += o.solved && o.residual <= 1e-8 * 1.01;
        jacobi += solve(p, QV_METHOD_CG, QV_PRECONDITIONER_JACOBI).solved;
        ++cases;
    }
    RecordProperty("solved_with_jacobi", jacobi);
    RecordProperty("solved_with_ilu0_ic0", incomplete);
    EXPECT_EQ(incomplete, cases);
    EXPECT_LT(jacobi, cases);  // the set is hard enough to tell them apart
}

// Multigrid with CG on the symmetric matrices above.
TEST_F(Preconditioners, AmgSolvesTheSymmetricMatrices) {
    const Problem symmetric[] = {plate(24, 1e-4), reservoir(20, 20, 8, 3.0, 0.0, 1e-6),
                                 read_matrix_market(BRISVEL_TEST_MATRICES "/g20.mtx")};
    for (const Problem &p : symmetric) {
        const Outcome o = solve(p, QV_METHOD_CG, QV_PRECONDITIONER_AMG);
        EXPECT_TRUE(o.solved) << p.rows << " " << qvErrorString(o.error);
        EXPECT_LE(o.residual, 1e-8 * 1.01) << p.rows;
        RecordProperty("amg_iterations_" + std::to_string(p.rows), o.iterations);
    }
}

Problem two_by_two(double a, double b, double c, double d) {
    return from_rows(2, {{{0, a}, {1, b}}, {{0, c}, {1, d}}});
}

// A zero, tiny or negative pivot never yields infinities or a false success.
TEST_F(Preconditioners, PivotFailuresAreHonest) {
    // ILU(0): a zero pivot is replaced; the solve is judged by its residual.
    const Outcome swapped =
        solve(two_by_two(0.0, 1.0, 1.0, 0.0), QV_METHOD_GMRES, QV_PRECONDITIONER_ILU0);
    EXPECT_TRUE(swapped.solved);
    EXPECT_LE(swapped.residual, 1e-8);
    // ... and a factor that overflows even so is refused.
    const Outcome huge =
        solve(two_by_two(0.0, 1e305, 1e305, 0.0), QV_METHOD_GMRES, QV_PRECONDITIONER_ILU0);
    EXPECT_FALSE(huge.solved);
    EXPECT_EQ(huge.error, QV_ERROR_PRECONDITIONER);
    for (double v : huge.x)
        EXPECT_EQ(v, 0.0);  // the variables keep their values
    // IC(0): nonsymmetric and non-positive diagonals are refused.
    EXPECT_EQ(solve(two_by_two(2.0, 1.0, 0.0, 2.0), QV_METHOD_CG, QV_PRECONDITIONER_IC0).error,
              QV_ERROR_NOT_SYMMETRIC);
    EXPECT_EQ(solve(two_by_two(-2.0, 1.0, 1.0, 2.0), QV_METHOD_CG, QV_PRECONDITIONER_IC0).error,
              QV_ERROR_PRECONDITIONER);
    // A negative pivot is cured by a diagonal shift ...
    const Outcome shifted =
        solve(two_by_two(1.0, 2.0, 2.0, 1.0), QV_METHOD_GMRES, QV_PRECONDITIONER_IC0);
    EXPECT_TRUE(shifted.solved);
    EXPECT_LE(shifted.residual, 1e-8);
    // ... unless no shift in range is enough.
    EXPECT_EQ(solve(two_by_two(1.0, 1e3, 1e3, 1.0), QV_METHOD_GMRES, QV_PRECONDITIONER_IC0).error,
              QV_ERROR_PRECONDITIONER);
    // Least squares leaves ILU(0) to square systems, and takes IC(0).
    const Problem line = poisson(4);
    assemble(line, QV_METHOD_CG, QV_PRECONDITIONER_ILU0, true);
    EXPECT_FALSE(qvSolve());
    EXPECT_EQ(qvGetError(), QV_ERROR_INVALID_VALUE);
    qvDeleteContext(qvGetCurrent());
    assemble(line, QV_METHOD_CG, QV_PRECONDITIONER_IC0, true);
    EXPECT_TRUE(qvSolve());
}

// Rows that read only rows far back: couplings at distances 5999 to 6001
// make levels of about 6000 rows, wide enough for a team to share them.
Problem wide_levels(double skew) {
    const int n = 40000;
    Problem p;
    p.rows = p.cols = n;
    for (int i = 0; i < n; ++i) {
        for (int d : {-6001, -6000, -5999})
            if (i + d >= 0)
                p.entries.push_back({i, i + d, -1.0 - skew});
        p.entries.push_back({i, i, 6.5 + std::sin(i)});
        for (int d : {5999, 6000, 6001})
            if (i + d < n)
                p.entries.push_back({i, i + d, -1.0 + skew});
        p.rhs.push_back(1.0 + std::cos(i));
    }
    return p;
}

// The sweeps share each level among the team when the levels are wide, and
// run as a pipeline of row blocks on a 2D grid (half lines) and a 3D one
// (half planes): the same bits on any team, and on one thread, where the
// sweeps run in order.
TEST_F(Preconditioners, SweepsGiveTheSameBitsOnAnyTeam) {
    const Problem flow = wide_levels(0.3);
    const Problem spd = wide_levels(0.0);
    const Problem grid_flow = convection_diffusion(128, 0.3);
    const Problem grid_spd = poisson(128);
    const Problem layers = reservoir(24, 24, 16, 1.0, 0.5, 1e-3);
    const struct {
        QVint method, preconditioner;
        const Problem &p;
    } cases[] = {{QV_METHOD_BICGSTAB, QV_PRECONDITIONER_SSOR, flow},
                 {QV_METHOD_GMRES, QV_PRECONDITIONER_ILU0, flow},
                 {QV_METHOD_CG, QV_PRECONDITIONER_IC0, spd},
                 {QV_METHOD_BICGSTAB, QV_PRECONDITIONER_ILU0, grid_flow},
                 {QV_METHOD_CG, QV_PRECONDITIONER_SSOR, grid_spd},
                 {QV_METHOD_GMRES, QV_PRECONDITIONER_ILU0, layers},
                 {QV_METHOD_GMRES, QV_PRECONDITIONER_ILUT, grid_flow},
                 {QV_METHOD_BICGSTAB, QV_PRECONDITIONER_ILUT, layers}};
    for (const auto &c : cases) {
        const Outcome one = solve(c.p, c.method, c.preconditioner, 1);
        ASSERT_TRUE(one.solved) << c.preconditioner;
        EXPECT_LE(one.residual, 1e-8 * 1.01);
        for (QVint threads : {2, 3}) {
            const Outcome other = solve(c.p, c.method, c.preconditioner, threads);
            EXPECT_EQ(other.x, one.x) << c.preconditioner << " on " << threads;
            EXPECT_EQ(other.iterations, one.iterations);
        }
    }
}

// Chemical processes, a linear program's basis, a KKT system and a flow
// model, badly scaled and with zero diagonals: ILU(0) fails on most, ILUT
// with its defaults solves them all with GMRES and BiCGStab, within its fill.
TEST_F(Preconditioners, IlutSolvesTheMatricesIlu0CannotWithinItsFill) {
    int ilu0_solved = 0, cases = 0;
    for (const char *name :
         {"west0067", "west0497", "bp_1200", "tumorAntiAngiogenesis_2", "olm500", "g20"}) {
        const Problem p =
            read_matrix_market(std::string(BRISVEL_TEST_MATRICES "/") + name + ".mtx");
        for (QVint method : {QV_METHOD_GMRES, QV_METHOD_BICGSTAB}) {
            SCOPED_TRACE(testing::Message() << name << " " << method);
            const Outcome o = solve(p, method, QV_PRECONDITIONER_ILUT);
            EXPECT_TRUE(o.solved) << qvErrorString(o.error);
            EXPECT_LE(o.residual, 1e-8 * 1.01);
            EXPECT_GT(o.fill, 0.0);
            EXPECT_LE(o.fill, 10.0);  // the default limit
            ilu0_solved += solve(p, method, QV_PRECONDITIONER_ILU0).solved;
            ++cases;
        }
    }
    EXPECT_LE(ilu0_solved, 4);  // olm500 and g20
    // A tighter limit holds too, and still solves the flow model.
    extra_settings = {{QV_PARAM_ILUT_FILL, 1.5}};
    const Outcome tight = solve(read_matrix_market(BRISVEL_TEST_MATRICES "/olm500.mtx"),
                                QV_METHOD_GMRES, QV_PRECONDITIONER_ILUT);
    extra_settings.clear();
    EXPECT_TRUE(tight.solved);
    EXPECT_LE(tight.fill, 1.5);
}

// Empty rows, singular structure, zero pivots without pivoting and
// overflow fail as QV_ERROR_PRECONDITIONER; extreme but sound scales solve;
// bad settings are refused and leave the old ones.
TEST_F(Preconditioners, IlutFailuresAreHonest) {
    const auto error_of = [](const Problem &p, std::vector<Setting> settings = {}) {
        extra_settings = std::move(settings);
        const Outcome o = solve(p, QV_METHOD_GMRES, QV_PRECONDITIONER_ILUT);
        extra_settings.clear();
        for (double v : o.x)
            EXPECT_TRUE(o.solved || v == 0.0);  // a failed build leaves the variables
        return o.solved ? QV_OK : o.error;
    };
    const Problem swapped = two_by_two(0.0, 1.0, 1.0, 0.0);
    EXPECT_EQ(error_of(swapped), QV_OK);  // the matching puts the ones on the diagonal
    EXPECT_EQ(error_of(swapped, {{QV_PARAM_ILUT_SCALING, QV_ILUT_NO_SCALING}}), QV_OK);  // pivoting
    EXPECT_EQ(error_of(swapped,
                       {{QV_PARAM_ILUT_SCALING, QV_ILUT_NO_SCALING}, {QV_PARAM_ILUT_PIVOT, 0.0}}),
              QV_ERROR_PRECONDITIONER);  // neither: a zero pivot
    EXPECT_EQ(error_of(from_rows(2, {{{0, 1.0}, {1, 2.0}}, {{1, 0.0}}})), QV_ERROR_PRECONDITIONER);
    EXPECT_EQ(error_of(from_rows(3, {{{0, 1.0}, {1, 1.0}}, {{0, 2.0}, {1, 2.0}}, {{2, 1.0}}}),
                       {{QV_PARAM_ILUT_DROP, 0.0}}),
              QV_ERROR_PRECONDITIONER);  // dependent rows: a zero pivot
    EXPECT_EQ(error_of(two_by_two(1e-300, 1.0, 1e300, 1.0),
                       {{QV_PARAM_ILUT_SCALING, QV_ILUT_NO_SCALING}, {QV_PARAM_ILUT_PIVOT, 0.0}}),
              QV_ERROR_PRECONDITIONER);  // the elimination overflows
    // Rows scaled from 1e-90 to 1e90, and columns 1e40 apart, with an
    // answer scaled to match: the norm-wise residual sees only the largest
    // rows, but the scalings take them all back, and every variable is right.
    const auto column_scale = [](int j) { return std::pow(10.0, 40.0 * (j % 2)); };
    std::vector<std::map<int, double>> rows(7);
    for (int i = 0; i < 7; ++i)
        for (int j : {i - 1, i, i + 1})
            if (j >= 0 && j < 7)
                rows[static_cast<std::size_t>(i)][j] = (i == j ? 4.0 : -1.0 - 0.5 * j) *
                                                       std::pow(10.0, 30.0 * (i - 3)) *
                                                       column_scale(j);
    Problem extreme = from_rows(7, rows);
    std::fill(extreme.rhs.begin(), extreme.rhs.end(), 0.0);
    for (const Entry &e : extreme.entries)
        extreme.rhs[static_cast<std::size_t>(e.row)] +=
            e.value * known_solution(e.col) / column_scale(e.col);
    const Outcome scaled = solve(extreme, QV_METHOD_GMRES, QV_PRECONDITIONER_ILUT);
    ASSERT_TRUE(scaled.solved);
    for (int j = 0; j < 7; ++j)
        EXPECT_NEAR(scaled.x[static_cast<std::size_t>(j)] * column_scale(j), known_solution(j),
                    1e-12)
            << j;
    // Settings out of range change nothing.
    assemble(swapped, QV_METHOD_GMRES, QV_PRECONDITIONER_ILUT);
    qvSolverParameterd(QV_PARAM_ILUT_DROP, 0.0);  // no drop by size: allowed
    EXPECT_EQ(qvGetError(), QV_OK);
    for (const Setting s : {Setting{QV_PARAM_ILUT_DROP, -1e-3}, Setting{QV_PARAM_ILUT_DROP, 1.0},
                            Setting{QV_PARAM_ILUT_FILL, 0.0}, Setting{QV_PARAM_ILUT_PIVOT, 1.5},
                            Setting{QV_PARAM_ILUT_PIVOT, std::nan("")}}) {
        qvSolverParameterd(s.code, s.value);
        EXPECT_EQ(qvGetError(), QV_ERROR_INVALID_VALUE) << s.code << " " << s.value;
    }
    qvSolverParameteri(QV_PARAM_ILUT_SCALING, 3);
    EXPECT_EQ(qvGetError(), QV_ERROR_INVALID_VALUE);
    EXPECT_EQ(qvGetParameterd(QV_PARAM_ILUT_DROP), 0.0);
    EXPECT_EQ(qvGetParameterd(QV_PARAM_ILUT_PIVOT), 0.1);
    EXPECT_EQ(qvGetParameteri(QV_PARAM_ILUT_SCALING), QV_ILUT_MATCHING);
    qvDeleteContext(qvGetCurrent());
    // Least squares leaves ILUT to square systems.
    assemble(poisson(4), QV_METHOD_CG, QV_PRECONDITIONER_ILUT, true);
    EXPECT_FALSE(qvSolve());
    EXPECT_EQ(qvGetError(), QV_ERROR_INVALID_VALUE);
    qvDeleteContext(qvGetCurrent());
}

}  // namespace
