// Test problems, assembly through the public interface, and independent references.
#include "test_support.h"

#include <cstdio>

#if defined(__linux__)
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>

namespace testing_support {

double known_solution(int index) { return 1.0 + std::sin(0.01 * index); }

namespace {

Problem grid_problem(int grid, double diagonal, double east, double west, double north,
                     double south) {
    Problem p;
    p.rows = p.cols = grid * grid;
    for (int j = 0; j < grid; ++j) {
        for (int i = 0; i < grid; ++i) {
            const int row = j * grid + i;
            if (j > 0)
                p.entries.push_back({row, row - grid, south});
            if (i > 0)
                p.entries.push_back({row, row - 1, west});
            p.entries.push_back({row, row, diagonal});
            if (i + 1 < grid)
                p.entries.push_back({row, row + 1, east});
            if (j + 1 < grid)
                p.entries.push_back({row, row + grid, north});
        }
    }
    p.rhs.assign(static_cast<std::size_t>(p.rows), 0.0);
    for (const Entry &e : p.entries)
        p.rhs[static_cast<std::size_t>(e.row)] += e.value * known_solution(e.col);
    return p;
}

}  // namespace

Problem convection_diffusion(int grid, double convection) {
    return grid_problem(grid, 4.0, -1.0 + convection, -1.0 - convection, -1.0 + convection,
                        -1.0 - convection);
}

Problem poisson(int grid) { return grid_problem(grid, 4.0, -1.0, -1.0, -1.0, -1.0); }

Problem checkerboard_diffusion(int grid, double contrast) {
    const int tile = std::max(1, grid / 8);
    auto k = [&](int i, int j) { return (i / tile + j / tile) % 2 != 0 ? contrast : 1.0; };
    Problem p;
    p.rows = p.cols = grid * grid;
    for (int j = 0; j < grid; ++j)
        for (int i = 0; i < grid; ++i) {
            const int row = j * grid + i;
            const double own = k(i, j);
            double diagonal = 0.0;
            // The faces in column order: south, west, (the diagonal), east, north.
            auto face = [&](int ni, int nj) {
                if (ni < 0 || nj < 0 || ni >= grid || nj >= grid) {
                    diagonal += own;  // a boundary face takes the cell's own coefficient
                    return;
                }
                const double other = k(ni, nj), f = 2.0 * own * other / (own + other);
                diagonal += f;
                p.entries.push_back({row, nj * grid + ni, -f});
            };
            face(i, j - 1);
            face(i - 1, j);
            const std::size_t at = p.entries.size();
            face(i + 1, j);
            face(i, j + 1);
            p.entries.insert(p.entries.begin() + static_cast<std::ptrdiff_t>(at),
                             Entry{row, row, diagonal});
        }
    p.rhs.assign(static_cast<std::size_t>(p.rows), 1.0);
    return p;
}

Problem shifted_poisson(int grid, double shift) {
    return grid_problem(grid, 4.0 - shift, -1.0, -1.0, -1.0, -1.0);
}

void assemble(const Problem &p, QVint method, QVint preconditioner, bool least_squares,
              const std::vector<std::pair<int, double>> &locked) {
    qvNewContext();
    qvSolverParameteri(QV_PARAM_VARIABLE_COUNT, p.cols);
    qvSolverParameteri(QV_PARAM_SOLVER, method);
    qvSolverParameteri(QV_PARAM_PRECONDITIONER, preconditioner);
    qvSolverParameteri(QV_PARAM_LEAST_SQUARES, least_squares ? 1 : 0);
    send_system(p, locked);
}

void send_system(const Problem &p, const std::vector<std::pair<int, double>> &locked) {
    qvBegin(QV_BLOCK_SYSTEM);
    for (const auto &lock : locked) {
        qvLockVariable(lock.first);
        qvSetVariable(lock.first, lock.second);
    }
    qvBegin(QV_BLOCK_MATRIX);
    std::size_t k = 0;
    for (int row = 0; row < p.rows; ++row) {
        qvBegin(QV_BLOCK_ROW);
        for (; k < p.entries.size() && p.entries[k].row == row; ++k)
            qvCoefficient(p.entries[k].col, p.entries[k].value);
        qvRightHandSide(p.rhs[static_cast<std::size_t>(row)]);
        qvEnd(QV_BLOCK_ROW);
    }
    qvEnd(QV_BLOCK_MATRIX);
    qvEnd(QV_BLOCK_SYSTEM);
}

void release_contexts() {
    while (qvGetCurrent() != nullptr)
        qvDeleteContext(qvGetCurrent());
    qvGetError();
}

std::vector<double> read_variables(int count) {
    std::vector<double> x(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
        x[static_cast<std::size_t>(i)] = qvGetVariable(i);
    return x;
}

namespace {

std::vector<long double> residual_vector(const Problem &p, const std::vector<double> &x) {
    std::vector<long double> r(p.rhs.begin(), p.rhs.end());
    for (const Entry &e : p.entries)
        r[static_cast<std::size_t>(e.row)] -=
            static_cast<long double>(e.value) * x[static_cast<std::size_t>(e.col)];
    return r;
}

std::vector<long double> transposed_product(const Problem &p, const std::vector<long double> &v) {
    std::vector<long double> out(static_cast<std::size_t>(p.cols), 0.0L);
    for (const Entry &e : p.entries)
        out[static_cast<std::size_t>(e.col)] += e.value * v[static_cast<std::size_t>(e.row)];
    return out;
}

double norm(const std::vector<long double> &v) {
    long double sum = 0.0L;
    for (long double t : v)
        sum += t * t;
    return static_cast<double>(std::sqrt(sum));
}

}  // namespace

double relative_residual(const Problem &p, const std::vector<double> &x) {
    return norm(residual_vector(p, x)) / norm(std::vector<long double>(p.rhs.begin(), p.rhs.end()));
}

double normal_residual(const Problem &p, const std::vector<double> &x) {
    const std::vector<long double> b(p.rhs.begin(), p.rhs.end());
    return norm(transposed_product(p, residual_vector(p, x))) / norm(transposed_product(p, b));
}

std::vector<double> dense_least_squares(const Problem &p,
                                        const std::vector<std::pair<int, double>> &locked) {
    const std::size_t cols = static_cast<std::size_t>(p.cols);
    std::vector<bool> is_locked(cols, false);
    std::vector<double> fixed(cols, 0.0);
    for (const auto &lock : locked) {
        is_locked[static_cast<std::size_t>(lock.first)] = true;
        fixed[static_cast<std::size_t>(lock.first)] = lock.second;
    }
    std::vector<std::size_t> free_cols;
    for (std::size_t j = 0; j < cols; ++j)
        if (!is_locked[j])
            free_cols.push_back(j);
    const std::size_t m = static_cast<std::size_t>(p.rows), n = free_cols.size();
    std::vector<std::size_t> position(cols, 0);  // set for the free columns only
    for (std::size_t k = 0; k < n; ++k)
        position[free_cols[k]] = k;
    std::vector<std::vector<long double>> a(m, std::vector<long double>(n, 0.0L));
    std::vector<long double> b(p.rhs.begin(), p.rhs.end());
    for (const Entry &e : p.entries) {
        const auto row = static_cast<std::size_t>(e.row), col = static_cast<std::size_t>(e.col);
        if (is_locked[col])
            b[row] -= static_cast<long double>(e.value) * fixed[col];
        else
            a[row][position[col]] += e.value;
    }
    for (std::size_t k = 0; k < n; ++k) {  // Householder reflections, column by column
        long double alpha = 0.0L;
        for (std::size_t i = k; i < m; ++i)
            alpha += a[i][k] * a[i][k];
        alpha = std::sqrt(alpha);
        if (a[k][k] > 0)
            alpha = -alpha;
        std::vector<long double> v(m, 0.0L);
        for (std::size_t i = k; i < m; ++i)
            v[i] = a[i][k];
        v[k] -= alpha;
        long double vv = 0.0L;
        for (std::size_t i = k; i < m; ++i)
            vv += v[i] * v[i];
        if (vv == 0.0L)
            continue;
        for (std::size_t j = k; j < n; ++j) {
            long double s = 0.0L;
            for (std::size_t i = k; i < m; ++i)
                s += v[i] * a[i][j];
            s = 2.0L * s / vv;
            for (std::size_t i = k; i < m; ++i)
                a[i][j] -= s * v[i];
        }
        long double s = 0.0L;
        for (std::size_t i = k; i < m; ++i)
            s += v[i] * b[i];
        s = 2.0L * s / vv;
        for (std::size_t i = k; i < m; ++i)
            b[i] -= s * v[i];
    }
    std::vector<long double> y(n, 0.0L);
    for (std::size_t k = n; k-- > 0;) {  // back substitution with R, last row first
        long double s = b[k];
        for (std::size_t j = k + 1; j < n; ++j)
            s -= a[k][j] * y[j];
        y[k] = s / a[k][k];
    }
    std::vector<double> x(fixed);
    for (std::size_t k = 0; k < n; ++k)
        x[free_cols[k]] = static_cast<double>(y[k]);
    return x;
}

bool with_memory_limit(std::size_t extra, const std::function<void()> &body) {
#if defined(__linux__)
    long pages = 0;
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld", &pages) != 1)
            pages = 0;
        std::fclose(f);
    }
    rlimit saved{};
    if (pages == 0 || getrlimit(RLIMIT_AS, &saved) != 0)
        return false;
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) +
                     static_cast<rlim_t>(extra);
    if (setrlimit(RLIMIT_AS, &tight) != 0)
        return false;
    body();
    setrlimit(RLIMIT_AS, &saved);
    return true;
#else
    (void)extra;
    (void)body;
    return false;
#endif
}

}  // namespace testing_support
