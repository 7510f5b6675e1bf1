// The mesh case: least-squares conformal maps of a triangle mesh, by brisvel's methods and by
// Eigen's SimplicialLDLT on the reduced normal equations, as geometry processing solves them.
#include "runs.h"

#include <brisvel/brisvel.h>

#include <Eigen/SparseCholesky>
#include <Eigen/SparseCore>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace bench {
namespace {

struct Mesh {
    std::vector<std::array<double, 3>> points;
    std::vector<std::array<int, 3>> triangles;
};

// A Wavefront OBJ file's "v x y z" and "f i j k" lines (1-based, "i/t/n" allowed).
bool read_obj(const char *path, Mesh &m) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream s(line);
        std::string tag;
        s >> tag;
        if (tag == "v") {
            std::array<double, 3> p{};
            s >> p[0] >> p[1] >> p[2];
            m.points.push_back(p);
        } else if (tag == "f") {
            std::array<int, 3> t{};
            for (int &corner : t) {
                std::string item;
                s >> item;
                corner = std::atoi(item.c_str()) - 1;
            }
            m.triangles.push_back(t);
        }
    }
    const auto n = static_cast<int>(m.points.size());
    for (const auto &t : m.triangles)
        for (int corner : t)
            if (corner < 0 || corner >= n)
                return false;
    return n > 2 && !m.triangles.empty();
}

// Each triangle into four at its edges' midpoints.
Mesh subdivide(const Mesh &m) {
    Mesh out;
    out.points = m.points;
    std::map<std::pair<int, int>, int> middle;
    auto mid = [&](int a, int b) {
        const auto key = std::minmax(a, b);
        const auto found = middle.find(key);
        if (found != middle.end())
            return found->second;
        std::array<double, 3> p{};
        for (std::size_t k = 0; k < 3; ++k)
            p[k] = 0.5 * (m.points[static_cast<std::size_t>(a)][k] +
                          m.points[static_cast<std::size_t>(b)][k]);
        out.points.push_back(p);
        return middle[key] = static_cast<int>(out.points.size()) - 1;
    };
    for (const auto &[a, b, c] : m.triangles) {
        const int ab = mid(a, b), bc = mid(b, c), ca = mid(c, a);
        out.triangles.push_back({a, ab, ca});
        out.triangles.push_back({ab, b, bc});
        out.triangles.push_back({ca, bc, c});
        out.triangles.push_back({ab, bc, ca});
    }
    return out;
}

// The conformal map's rows: for triangle (i, j, k) with corners (x, y) in
// its own plane and area A, W_i = ((x_k - x_j) + i (y_k - y_j)) / sqrt(2A)
// and likewise for j and k; the real and imaginary parts of
// sum W (u + iv) = 0 are two rows over u = 2p and v = 2p + 1. Vertex 0 is
// locked at (0, 0) and the vertex farthest from it at (1, 0).
struct MapProblem {
    Problem rows;  // right-hand side 0
    std::vector<std::pair<int, double>> locked;
};

MapProblem conformal_map(const Mesh &m) {
    MapProblem out;
    Problem &p = out.rows;
    p.cols = 2 * static_cast<int>(m.points.size());
    for (const auto &t : m.triangles) {
        const auto &a = m.points[static_cast<std::size_t>(t[0])];
        const auto &b = m.points[static_cast<std::size_t>(t[1])];
        const auto &c = m.points[static_cast<std::size_t>(t[2])];
        double e1[3], e2[3];
        for (std::size_t k = 0; k < 3; ++k)
            e1[k] = b[k] - a[k], e2[k] = c[k] - a[k];
        const double l1 = std::sqrt(e1[0] * e1[0] + e1[1] * e1[1] + e1[2] * e1[2]);
        const double x2 = (e1[0] * e2[0] + e1[1] * e2[1] + e1[2] * e2[2]) / l1;
        const double y2 =
            std::sqrt(std::max(0.0, e2[0] * e2[0] + e2[1] * e2[1] + e2[2] * e2[2] - x2 * x2));
        if (!(l1 > 0.0 && y2 > 0.0))
            continue;  // a degenerate triangle states nothing
        const double local[3][2] = {{0.0, 0.0}, {l1, 0.0}, {x2, y2}};
        const double s = 1.0 / std::sqrt(l1 * y2);  // 1 / sqrt(2 A)
        for (int part = 0; part < 2; ++part) {
            for (std::size_t q = 0; q < 3; ++q) {
                const double wr = (local[(q + 2) % 3][0] - local[(q + 1) % 3][0]) * s;
                const double wi = (local[(q + 2) % 3][1] - local[(q + 1) % 3][1]) * s;
                p.col.push_back(2 * t[q]);
                p.val.push_back(part == 0 ? wr : wi);
                p.col.push_back(2 * t[q] + 1);
                p.val.push_back(part == 0 ? -wi : wr);
            }
            p.rhs.push_back(0.0);
            p.start.push_back(static_cast<std::int64_t>(p.col.size()));
            ++p.rows;
        }
    }
    std::size_t far = 0;
    double farthest = 0.0;
    for (std::size_t v = 0; v < m.points.size(); ++v) {
        double d = 0.0;
        for (std::size_t k = 0; k < 3; ++k)
            d += (m.points[v][k] - m.points[0][k]) * (m.points[v][k] - m.points[0][k]);
        if (d > farthest)
            farthest = d, far = v;
    }
    const int f = static_cast<int>(far);
    out.locked = {{0, 0.0}, {1, 0.0}, {2 * f, 1.0}, {2 * f + 1, 0.0}};
    return out;
}

struct MapRun {
    bool ok = false;
    double seconds = 0.0;
    int iterations = 0;
    std::vector<double> x;
    std::string note;
};

// brisvel from the rows to the answer: locks, rows by qvCoefficients, solve.
MapRun brisvel_map(const MapProblem &mp, QVint method, QVint preconditioner, int threads,
                   double threshold) {
    const Problem &p = mp.rows;
    MapRun r;
    const double start = now();
    const QVcontext ctx = qvNewContext();
    qvSolverParameteri(QV_PARAM_VARIABLE_COUNT, p.cols);
    qvSolverParameteri(QV_PARAM_LEAST_SQUARES, 1);
    qvSolverParameteri(QV_PARAM_SOLVER, method);
    qvSolverParameteri(QV_PARAM_PRECONDITIONER, preconditioner);
    qvSolverParameteri(QV_PARAM_THREADS, threads);
    qvSolverParameterd(QV_PARAM_THRESHOLD, threshold);
    qvSolverParameteri(QV_PARAM_MAX_ITERATIONS, 100000);
    qvBegin(QV_BLOCK_SYSTEM);
    for (const auto &[index, value] : mp.locked) {
        qvLockVariable(index);
        qvSetVariable(index, value);
    }
    qvBegin(QV_BLOCK_MATRIX);
    for (int i = 0; i < p.rows; ++i) {
        const auto first = static_cast<std::size_t>(p.start[static_cast<std::size_t>(i)]);
        const auto count = static_cast<QVint>(p.start[static_cast<std::size_t>(i) + 1] -
                                              p.start[static_cast<std::size_t>(i)]);
        qvBegin(QV_BLOCK_ROW);
        qvCoefficients(count, p.col.data() + first, p.val.data() + first);
        qvEnd(QV_BLOCK_ROW);
    }
    qvEnd(QV_BLOCK_MATRIX);
    qvEnd(QV_BLOCK_SYSTEM);
    r.ok = qvSolve() != 0;
    r.note = r.ok ? "" : qvErrorString(qvGetError());
    r.iterations = qvGetParameteri(QV_USED_ITERATIONS);
    r.x.resize(static_cast<std::size_t>(p.cols));
    qvGetVariables(p.cols, r.x.data());
    r.seconds = now() - start;
    qvDeleteContext(ctx);
    return r;
}

// Eigen's route: the free columns' matrix from triplets, its normal
// equations N = A_F' A_F and A_F' (b - A_L x_L), SimplicialLDLT.
MapRun eigen_map(const MapProblem &mp) {
    const Problem &p = mp.rows;
    MapRun r;
    const double start = now();
    std::vector<int> free_index(static_cast<std::size_t>(p.cols), 0);
    std::vector<double> fixed(static_cast<std::size_t>(p.cols), 0.0);
    for (const auto &[index, value] : mp.locked) {
        free_index[static_cast<std::size_t>(index)] = -1;
        fixed[static_cast<std::size_t>(index)] = value;
    }
    int free_count = 0;
    for (int &f : free_index)
        if (f == 0)
            f = free_count++;
    std::vector<Eigen::Triplet<double>> triplets;
    triplets.reserve(p.col.size());
    Eigen::VectorXd b = Eigen::VectorXd::Zero(p.rows);
    for (int i = 0; i < p.rows; ++i)
        for (auto k = static_cast<std::size_t>(p.start[static_cast<std::size_t>(i)]);
             k < static_cast<std::size_t>(p.start[static_cast<std::size_t>(i) + 1]); ++k) {
            const int f = free_index[static_cast<std::size_t>(p.col[k])];
            if (f >= 0)
                triplets.emplace_back(i, f, p.val[k]);
            else
                b[i] -= p.val[k] * fixed[static_cast<std::size_t>(p.col[k])];
        }
    Eigen::SparseMatrix<double> a(p.rows, free_count);
    a.setFromTriplets(triplets.begin(), triplets.end());
    const Eigen::SparseMatrix<double> n = a.transpose() * a;
    const Eigen::VectorXd rhs = a.transpose() * b;
    Eigen::SimplicialLDLT<Eigen::SparseMatrix<double>> ldlt(n);
    r.ok = ldlt.info() == Eigen::Success;
    const Eigen::VectorXd y = ldlt.solve(rhs);
    r.seconds = now() - start;
    r.x = fixed;
    for (int j = 0; j < p.cols; ++j)
        if (free_index[static_cast<std::size_t>(j)] >= 0)
            r.x[static_cast<std::size_t>(j)] = y[free_index[static_cast<std::size_t>(j)]];
    r.note = r.ok ? "" : "factorisation failed";
    return r;
}

// ||x - y|| / ||y||.
double distance(const std::vector<double> &x, const std::vector<double> &y) {
    long double d = 0.0L, s = 0.0L;
    for (std::size_t k = 0; k < y.size(); ++k) {
        d += static_cast<long double>(x[k] - y[k]) * (x[k] - y[k]);
        s += static_cast<long double>(y[k]) * y[k];
    }
    return static_cast<double>(std::sqrt(d / s));
}

}  // namespace

bool run_mesh_cases(const char *path, int subdivisions, int threads, double threshold) {
    Mesh mesh;
    if (!read_obj(path, mesh)) {
        std::fprintf(stderr, "brisvel-bench: cannot read the mesh %s\n", path);
        return false;
    }
    const bool cholmod = qvInitExtension("CHOLMOD") != 0;
    qvGetError();
    std::printf("mesh: least-squares conformal maps of %s; %d threads; threshold %g; %s\n", path,
                threads, threshold, cpu_model().c_str());
    std::printf("%-9s %8s  %-22s %9s %7s %8s %11s  %s\n", "vertices", "unknowns", "method",
                "seconds", "iters", "/ Eigen", "distance", "note");
    for (int level = 0; level <= subdivisions; ++level) {
        if (level > 0)
            mesh = subdivide(mesh);
        const MapProblem mp = conformal_map(mesh);
        const MapRun eigen = eigen_map(mp);
        const struct {
            const char *name;
            QVint method, preconditioner;
        } runs[] = {{"LSMR (default)", QV_METHOD_DEFAULT, QV_PRECONDITIONER_JACOBI},
                    {"CGLS", QV_METHOD_CG, QV_PRECONDITIONER_JACOBI},
                    {"CG + AMG on A'A", QV_METHOD_CG, QV_PRECONDITIONER_AMG},
                    {"CHOLMOD", QV_METHOD_CHOLMOD, QV_PRECONDITIONER_JACOBI}};
        const auto line = [&](const char *name, const MapRun &r) {
            std::printf("%-9zu %8d  %-22s %9.3f %7d %8.2f %11.2e  %s\n", mesh.points.size(),
                        mp.rows.cols, name, r.seconds, r.iterations, r.seconds / eigen.seconds,
                        distance(r.x, eigen.x), r.note.c_str());
            std::fflush(stdout);
        };
        for (const auto &run : runs)
            if (run.method != QV_METHOD_CHOLMOD || cholmod)
                line(run.name, brisvel_map(mp, run.method, run.preconditioner, threads, threshold));
        line("Eigen SimplicialLDLT", eigen);
    }
    return true;
}

}  // namespace bench
