// brisvel-bench: times brisvel and Eigen on the same problems in one process
// and prints the ratios, with the true residual of every answer.
#include "runs.h"

#include <Eigen/Core>

#include <malloc.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#ifdef _OPENMP
#include <omp.h>
#endif

using namespace bench;

namespace {

const char usage[] =
    "usage: brisvel-bench [--grid N[,N...]] [--threads N] [--repeat N] [--cases LIST]\n"
    "                     [--threshold T] [--json] [--quiet] [--mesh FILE.obj [--subdivide N]]\n"
    "  --grid      grid sizes, 10 .. 1000 (N x N unknowns); default 100,400\n"
    "  --threads   threads for both libraries; default the processors available\n"
    "  --repeat    runs of each library on each case, taken in turns, the fastest\n"
    "              kept; default 2, so that neither meets a cold allocator alone\n"
    "  --cases     any of assembly,bulk,spmv,bicgstab,cg,gmres,lsq,lsqr,lsq-small,direct,\n"
    "              memory (BiCGStab), memory-lsq (both least-squares problems),\n"
    "              callers, reuse; default all\n"
    "  --threshold relative residual asked of every iterative solve; default 1e-8\n"
    "  --warm-heap keep all freed memory in malloc's heap (no fresh mappings), so\n"
    "              that repeated runs reuse pages instead of faulting them in\n"
    "  --mesh      only the mesh case: least-squares conformal maps of an OBJ\n"
    "              triangle mesh of disk topology, and of it --subdivide times\n"
    "              subdivided (default 1), against Eigen's SimplicialLDLT\n"
    "  --json      JSON instead of the table\n"
    "  --quiet     no progress on standard error\n";

struct Options {
    std::vector<int> grids{100, 400};
    int threads = 1;
    int repeat = 2;
    double threshold = 1e-8;
    std::vector<std::string> cases{"assembly", "bulk",       "spmv",    "bicgstab",  "cg",
                                   "gmres",    "lsq",        "lsqr",    "lsq-small", "direct",
                                   "memory",   "memory-lsq", "callers", "reuse"};
    bool json = false;
    bool quiet = false;
    bool warm_heap = false;
    std::string mesh;  // the mesh case's OBJ file, when given
    int subdivide = 1;
};

// One line of the report: brisvel against Eigen on one case.
struct Record {
    std::string name;
    int grid = 0;
    long long unknowns = 0;
    std::string unit;    // "s", "GB/s", "MB" or "ns" (per coefficient)
    std::string size;    // shown instead of the grid when set
    std::string extra;   // a note after the line
    bool solve = false;  // a solve, with iterations and residuals
    Outcome brisvel, eigen;
    double brisvel_value = 0.0, eigen_value = 0.0;
    double reference = 0.0;  // the spmv case: triad bandwidth, the ratio's denominator
    double ratio = 0.0;
    bool at_most = true;  // the target is ratio <= target, otherwise >=
    double target = 0.0;
    bool met = false;
};

// The callers case: many small independent solves from one caller thread,
// then from two at once; the answers of every run compared to the bit.
struct CallersRecord {
    int systems = 2000;
    int grid = 50;
    int runs = 0;
    CallersRun one, two;  // the fastest run of each
    bool identical = true;
    double ratio = 0.0;
    double target = 0.6;
    bool met = false;
};

bool has_case(const Options &o, const char *name) {
    return std::find(o.cases.begin(), o.cases.end(), name) != o.cases.end();
}

bool parse(int argc, char **argv, Options &o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--json") {
            o.json = true;
        } else if (arg == "--quiet") {
            o.quiet = true;
        } else if (arg == "--warm-heap") {
            o.warm_heap = true;
        } else if (value == nullptr) {
            return false;
        } else if (arg == "--grid") {
            o.grids.clear();
            for (const std::string &g : split_list(value)) {
                const int n = std::atoi(g.c_str());
                if (n < 10 || n > 1000)
                    return false;
                o.grids.push_back(n);
            }
            ++i;
        } else if (arg == "--threads") {
            o.threads = std::atoi(value);
            ++i;
        } else if (arg == "--repeat") {
            o.repeat = std::max(1, std::atoi(value));
            ++i;
        } else if (arg == "--threshold") {
            o.threshold = std::atof(value);
            ++i;
        } else if (arg == "--cases") {
            o.cases = split_list(value);
            ++i;
        } else if (arg == "--mesh") {
            o.mesh = value;
            ++i;
        } else if (arg == "--subdivide") {
            o.subdivide = std::atoi(value);
            if (o.subdivide < 0 || o.subdivide > 4)
                return false;
            ++i;
        } else {
            return false;
        }
    }
    return !o.grids.empty() && o.threads >= 1 && o.threshold > 0.0 && o.threshold < 1.0;
}

void progress(const Options &o, const char *what, int grid) {
    if (!o.quiet)
        std::fprintf(stderr, "[%6.1f s] %dx%d %s\n", now(), grid, grid, what);
}

// The faster of two outcomes; an unavailable one never wins.
Outcome faster(const Outcome &a, const Outcome &b) {
    if (!a.available)
        return b;
    return b.available && b.seconds < a.seconds ? b : a;
}

Record solve_case(const Options &o, const char *name, Solver solver, int grid, double target,
                  const Problem &p) {
    Record rec;
    rec.name = name;
    rec.grid = grid;
    rec.unknowns = p.cols;
    rec.unit = "s";
    rec.solve = true;
    rec.target = target;
    Progress bar;
    bar.enabled = !o.quiet;
    bar.label = name;
    // In turns, so that both find the memory allocator in the same state.
    for (int k = 0; k < o.repeat; ++k) {
        progress(o, (std::string(name) + ": brisvel").c_str(), grid);
        const Outcome mine = brisvel_solve(p, solver, o.threshold, o.threads, &bar);
        rec.brisvel = k == 0 ? mine : faster(rec.brisvel, mine);
        if (!mine.available) {
            rec.eigen.available = false;  // nothing to compare with
            return rec;
        }
        progress(o, (std::string(name) + ": Eigen").c_str(), grid);
        const Outcome eigens = eigen_solve(p, solver, o.threshold);
        rec.eigen = k == 0 ? eigens : faster(rec.eigen, eigens);
    }
    rec.brisvel_value = rec.brisvel.seconds;
    rec.eigen_value = rec.eigen.seconds;
    rec.ratio = rec.brisvel.seconds / rec.eigen.seconds;
    const bool iterative = solver != Solver::SparseLu && solver != Solver::Cholesky;
    rec.met = rec.ratio <= target && rec.brisvel.succeeded &&
              (!iterative || rec.brisvel.residual <= o.threshold);
    return rec;
}

// Peak memory of one solve of kind in child processes, brisvel's and Eigen's.
Record memory_case(const Options &o, const char *name, const char *what, Kind kind, int grid) {
    progress(o, (std::string("memory: ") + what + " in child processes").c_str(), grid);
    Record rec;
    rec.name = name;
    rec.grid = grid;
    rec.unknowns = static_cast<long long>(grid) * grid;
    rec.unit = "MB";
    rec.target = 1.0;
    const long long mine = peak_memory_of(brisvel_unstored, kind, grid, o.threshold, o.threads);
    const long long eigens = peak_memory_of(
        [](Kind k, int g, double threshold, int) { return eigen_unstored(k, g, threshold); }, kind,
        grid, o.threshold, o.threads);
    rec.brisvel_value = static_cast<double>(mine) / 1e6;
    rec.eigen_value = static_cast<double>(eigens) / 1e6;
    rec.ratio = rec.brisvel_value / rec.eigen_value;
    rec.met = mine > 0 && eigens > 0 && rec.ratio <= rec.target;
    return rec;
}

std::string grid_text(int grid) { return std::to_string(grid) + "x" + std::to_string(grid); }

std::string size_text(const Record &rec) {
    return rec.size.empty() ? grid_text(rec.grid) : rec.size;
}

std::string value_text(double value, const std::string &unit) {
    char buf[64];
    if (unit == "s")
        std::snprintf(buf, sizeof buf, "%.4f s", value);
    else if (unit == "ns")
        std::snprintf(buf, sizeof buf, "%.2f ns", value);
    else
        std::snprintf(buf, sizeof buf, "%.1f %s", value, unit.c_str());
    return buf;
}

std::string iterations_text(const Outcome &out) {
    return out.iterations >= 0 ? std::to_string(out.iterations) : "-";
}

std::string residual_text(const Outcome &out, const Record &rec) {
    if (!rec.solve || !out.available)
        return "-";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2e", out.residual);
    return buf;
}

// Failures, and answers whose true residual misses a threshold the library
// claimed to meet.
void print_notes(const char *library, const Outcome &out, double threshold) {
    if (!out.note.empty())
        std::printf(" (%s: %s)", library, out.note.c_str());
    if (out.claimed >= 0.0 && out.claimed <= threshold && out.residual > threshold)
        std::printf(" (%s claimed %.1e)", library, out.claimed);
}

void print_table(const Options &o, const std::vector<Record> &records) {
    std::printf(
        "brisvel-bench: %s; %d thread%s for both libraries; Eigen %d.%d.%d%s; threshold %.0e%s\n",
        cpu_model().c_str(), o.threads, o.threads == 1 ? "" : "s", EIGEN_WORLD_VERSION,
        EIGEN_MAJOR_VERSION, EIGEN_MINOR_VERSION,
#ifdef EIGEN_HAS_OPENMP
        " with OpenMP",
#else
        " without OpenMP",
#endif
        o.threshold, o.warm_heap ? "; warm heap" : "");
    std::printf("%-9s %-9s %8s | %-11s %6s %9s | %-11s %6s %9s | %6s %8s\n", "case", "grid",
                "unknowns", "brisvel", "iters", "true res", "Eigen", "iters", "true res", "ratio",
                "target");
    for (const Record &rec : records) {
        if (!rec.brisvel.available) {
            std::printf("%-9s %-9s %8lld | unavailable: %s\n", rec.name.c_str(),
                        grid_text(rec.grid).c_str(), rec.unknowns, rec.brisvel.note.c_str());
            continue;
        }
        char target[32];
        std::snprintf(target, sizeof target, "%s%.2f", rec.at_most ? "<=" : ">=", rec.target);
        std::printf(
            "%-9s %-9s %8lld | %-11s %6s %9s | %-11s %6s %9s | %6.2f %8s %s", rec.name.c_str(),
            size_text(rec).c_str(), rec.unknowns, value_text(rec.brisvel_value, rec.unit).c_str(),
            iterations_text(rec.brisvel).c_str(), residual_text(rec.brisvel, rec).c_str(),
            value_text(rec.eigen_value, rec.unit).c_str(), iterations_text(rec.eigen).c_str(),
            residual_text(rec.eigen, rec).c_str(), rec.ratio, target, rec.met ? "met" : "MISSED");
        if (rec.reference > 0.0)
            std::printf(" (triad %.1f GB/s)", rec.reference);
        if (!rec.extra.empty())
            std::printf(" (%s)", rec.extra.c_str());
        print_notes("brisvel", rec.brisvel, o.threshold);
        print_notes("Eigen", rec.eigen, o.threshold);
        std::printf("\n");
    }
}

void print_side(const char *name, const Outcome &out, double value, const Record &rec) {
    std::printf("\"%s\": {\"available\": %s", name, out.available ? "true" : "false");
    if (out.available) {
        std::printf(", \"value\": %.6g, \"unit\": \"%s\"", value, rec.unit.c_str());
        if (rec.solve)
            std::printf(", \"succeeded\": %s, \"iterations\": %d, \"true_residual\": %.3e, "
                        "\"claimed_residual\": %.3e",
                        out.succeeded ? "true" : "false", out.iterations, out.residual,
                        out.claimed);
    }
    if (!out.note.empty())
        std::printf(", \"note\": \"%s\"", out.note.c_str());
    std::printf("}");
}

void print_callers_json(const CallersRecord &rec);

void print_json(const Options &o, const std::vector<Record> &records,
                const CallersRecord *callers) {
    std::printf("{\"threads\": %d, \"threshold\": %.3e, \"eigen\": \"%d.%d.%d\", "
                "\"warm_heap\": %s, \"results\": [\n",
                o.threads, o.threshold, EIGEN_WORLD_VERSION, EIGEN_MAJOR_VERSION,
                EIGEN_MINOR_VERSION, o.warm_heap ? "true" : "false");
    for (std::size_t k = 0; k < records.size(); ++k) {
        const Record &rec = records[k];
        std::printf("  {\"case\": \"%s\", \"grid\": \"%s\", \"unknowns\": %lld, ", rec.name.c_str(),
                    size_text(rec).c_str(), rec.unknowns);
        print_side("brisvel", rec.brisvel, rec.brisvel_value, rec);
        std::printf(", ");
        print_side("eigen", rec.eigen, rec.eigen_value, rec);
        if (rec.brisvel.available)
            std::printf(", \"ratio\": %.4f, \"target\": \"%s %.2f\", \"met\": %s", rec.ratio,
                        rec.at_most ? "<=" : ">=", rec.target, rec.met ? "true" : "false");
        if (rec.reference > 0.0)
            std::printf(", \"triad_gbs\": %.2f", rec.reference);
        std::printf("}%s\n", k + 1 < records.size() ? "," : "");
    }
    std::printf("]");
    if (callers != nullptr) {
        std::printf(",\n\"callers\": ");
        print_callers_json(*callers);
    }
    std::printf("}\n");
}

// Assembly per coefficient of a banded matrix with per_row entries a row:
// qvCoefficients into a new context against triplets and setFromTriplets, the
// fastest of several runs taken in turns; assembly again into the same
// context and one call per coefficient are noted beside.
Record bulk_case(const Options &o, int per_row) {
    const int rows = 4000000 / per_row;
    progress(o, ("bulk assembly, " + std::to_string(per_row) + " per row").c_str(), 0);
    const Problem p = make_band(rows, per_row);
    Record rec;
    rec.name = "bulk";
    rec.size = std::to_string(per_row) + "/row";
    rec.unknowns = rows;
    rec.unit = "ns";
    rec.target = 2.0;  // nanoseconds per coefficient, not a ratio
    double single = 1e30, again = 1e30;
    rec.brisvel_value = rec.eigen_value = 1e30;
    for (int k = 0; k < std::max(o.repeat, 5); ++k) {
        rec.brisvel_value = std::min(rec.brisvel_value, brisvel_assembly(p, true));
        single = std::min(single, brisvel_assembly(p, false));
        again = std::min(again, brisvel_reassembly(p));
        rec.eigen_value = std::min(rec.eigen_value, eigen_assembly(p));
    }
    const double scale = 1e9 / static_cast<double>(p.nonzeros());
    rec.brisvel_value *= scale;
    rec.eigen_value *= scale;
    single *= scale;
    again *= scale;
    rec.ratio = rec.brisvel_value / rec.eigen_value;
    rec.met = rec.brisvel_value < rec.target;
    char note[96];
    std::snprintf(note, sizeof note, "target in ns; again %.2f ns; qvCoefficient %.2f ns", again,
                  single);
    rec.extra = note;
    return rec;
}

CallersRecord callers_case(const Options &o) {
    CallersRecord rec;
    rec.runs = std::max(o.repeat, 3);
    std::vector<double> first, answers;
    for (int k = 0; k < rec.runs; ++k) {
        for (int callers : {1, 2}) {
            progress(o,
                     (std::to_string(rec.systems) + " systems from " + std::to_string(callers) +
                      " caller" + (callers == 1 ? "" : "s"))
                         .c_str(),
                     rec.grid);
            const CallersRun run =
                brisvel_callers(rec.systems, rec.grid, callers, o.threshold, answers);
            CallersRun &best = callers == 1 ? rec.one : rec.two;
            if (k == 0 || run.seconds < best.seconds)
                best = run;
            if (first.empty())
                first.swap(answers);
            else
                rec.identical =
                    rec.identical && answers.size() == first.size() &&
                    std::memcmp(answers.data(), first.data(), first.size() * sizeof(double)) == 0;
        }
    }
    rec.ratio = rec.two.seconds / rec.one.seconds;
    rec.met =
        rec.ratio <= rec.target && rec.identical && rec.one.failures == 0 && rec.two.failures == 0;
    return rec;
}

void print_callers_json(const CallersRecord &rec) {
    std::printf("{\"systems\": %d, \"unknowns\": %d, "
                "\"one_caller_s\": %.6g, \"two_callers_s\": %.6g, \"iterations\": %lld, "
                "\"worst_true_residual\": %.3e, \"failures\": %d, \"identical\": %s, "
                "\"ratio\": %.4f, \"target\": \"<= %.2f\", \"met\": %s}",
                rec.systems, rec.grid * rec.grid, rec.one.seconds, rec.two.seconds,
                rec.one.iterations, std::max(rec.one.worst, rec.two.worst),
                rec.one.failures + rec.two.failures, rec.identical ? "true" : "false", rec.ratio,
                rec.target, rec.met ? "true" : "false");
}

void print_callers(const CallersRecord &rec) {
    std::printf("\ncallers: %d systems of %d unknowns (%dx%d convection-diffusion, varied "
                "right-hand sides), BiCGStab and Jacobi, best of %d runs in turns\n",
                rec.systems, rec.grid * rec.grid, rec.grid, rec.grid, rec.runs);
    std::printf("%-10s %-10s %12s %9s %9s | %6s %8s\n", "1 caller", "2 callers", "iterations",
                "worst res", "answers", "ratio", "target");
    char target[16];
    std::snprintf(target, sizeof target, "<=%.2f", rec.target);
    std::printf("%-10s %-10s %12lld %9.2e %9s | %6.2f %8s %s",
                value_text(rec.one.seconds, "s").c_str(), value_text(rec.two.seconds, "s").c_str(),
                rec.one.iterations, std::max(rec.one.worst, rec.two.worst),
                rec.identical ? "identical" : "DIFFER", rec.ratio, target,
                rec.met ? "met" : "MISSED");
    if (rec.one.failures + rec.two.failures > 0)
        std::printf(" (%d failed solves)", rec.one.failures + rec.two.failures);
    std::printf("\n");
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
#ifdef _OPENMP
    o.threads = omp_get_num_procs();
#endif
    if (!parse(argc, argv, o)) {
        std::fputs(usage, stderr);
        return 2;
    }
    Eigen::setNbThreads(o.threads);
    if (!o.mesh.empty())
        return run_mesh_cases(o.mesh.c_str(), o.subdivide, o.threads, o.threshold) ? 0 : 2;
    std::vector<Record> records;

    // Peak memory first, while this process is still small: each run is a
    // child of it and starts with its resident pages.
    const struct {
        const char *name, *what, *option;
        Kind kind;
    } memory_cases[] = {
        {"memory", "BiCGStab", "memory", Kind::ConvectionDiffusion},
        {"mem-lsq", "banded least squares", "memory-lsq", Kind::LeastSquares},
        {"mem-lsqr", "random least squares", "memory-lsq", Kind::RandomLeastSquares},
    };
    for (const auto &m : memory_cases)
        if (has_case(o, m.option))
            for (int grid : o.grids)
                records.push_back(memory_case(o, m.name, m.what, m.kind, grid));
    if (o.warm_heap) {
        // Every allocation from the heap, and nothing given back: after the
        // first run of a case, both libraries find their pages in place.
        // (After the memory case, whose children must start as usual.)
        mallopt(M_MMAP_THRESHOLD, 1 << 30);
        mallopt(M_TRIM_THRESHOLD, 1 << 30);
    }
    if (has_case(o, "bulk"))
        for (int per_row : {5, 20, 50})
            records.push_back(bulk_case(o, per_row));
    for (int grid : o.grids) {
        if (has_case(o, "assembly") || has_case(o, "spmv") || has_case(o, "bicgstab") ||
            has_case(o, "direct")) {
            const Problem p = make_problem(Kind::ConvectionDiffusion, grid);
            if (has_case(o, "assembly")) {
                progress(o, "assembly", grid);
                Record rec;
                rec.name = "assembly";
                rec.grid = grid;
                rec.unknowns = p.cols;
                rec.unit = "s";
                rec.target = 0.5;
                const int runs = std::max(o.repeat, grid <= 400 ? 5 : 3);
                rec.brisvel_value = rec.eigen_value = 1e30;
                for (int k = 0; k < runs; ++k) {
                    rec.brisvel_value = std::min(rec.brisvel_value, brisvel_assembly(p));
                    rec.eigen_value = std::min(rec.eigen_value, eigen_assembly(p));
                }
                rec.ratio = rec.brisvel_value / rec.eigen_value;
                rec.met = rec.ratio <= rec.target;
                records.push_back(rec);
            }
            if (has_case(o, "spmv")) {
                progress(o, "spmv and triad", grid);
                Record rec;
                rec.name = "spmv";
                rec.grid = grid;
                rec.unknowns = p.cols;
                rec.unit = "GB/s";
                rec.at_most = false;
                rec.target = 0.8;
                // In rounds, best of each: the machine's bandwidth drifts.
                for (int round = 0; round < 3; ++round) {
                    rec.brisvel_value =
                        std::max(rec.brisvel_value, brisvel_spmv_bandwidth(p, o.threads, 0.3));
                    rec.eigen_value = std::max(rec.eigen_value, eigen_spmv_bandwidth(p, 0.3));
                    rec.reference =
                        std::max(rec.reference, triad_bandwidth(std::size_t{1} << 24, o.threads));
                }
                rec.ratio = rec.brisvel_value / rec.reference;
                rec.met = rec.ratio >= rec.target;
                records.push_back(rec);
            }
            if (has_case(o, "bicgstab"))
                records.push_back(solve_case(o, "bicgstab", Solver::Bicgstab, grid, 0.7, p));
            if (has_case(o, "direct"))
                records.push_back(solve_case(o, "superlu", Solver::SparseLu, grid, 1.2, p));
        }
        if (has_case(o, "gmres")) {
            const Problem p = make_problem(Kind::ImplicitStep, grid);
            records.push_back(solve_case(o, "gmres", Solver::Gmres, grid, 0.7, p));
        }
        if (has_case(o, "cg") || has_case(o, "direct")) {
            const Problem p = make_problem(Kind::Poisson, grid);
            if (has_case(o, "cg"))
                records.push_back(solve_case(o, "cg", Solver::Cg, grid, 0.7, p));
            if (has_case(o, "direct"))
                records.push_back(solve_case(o, "cholmod", Solver::Cholesky, grid, 1.2, p));
        }
        if (has_case(o, "lsq")) {
            const Problem p = make_problem(Kind::LeastSquares, grid);
            records.push_back(solve_case(o, "lsq", Solver::LeastSquares, grid, 0.7, p));
            records.push_back(solve_case(o, "lsq-cgls", Solver::Cgls, grid, 0.7, p));
        }
        if (has_case(o, "lsqr")) {
            const Problem p = make_problem(Kind::RandomLeastSquares, grid);
            records.push_back(solve_case(o, "lsqr", Solver::LeastSquares, grid, 0.7, p));
            records.push_back(solve_case(o, "lsqr-cgls", Solver::Cgls, grid, 0.7, p));
        }
    }
    if (has_case(o, "lsq-small")) {
        // 80,000 x 40,000 whatever the grids: a solve of a few dozen
        // milliseconds, assembly row by row included, best of many.
        Options many = o;
        many.repeat = std::max(o.repeat, 10);
        const Problem p = make_problem(Kind::DominantLeastSquares, 200);
        records.push_back(solve_case(many, "lsq-small", Solver::LeastSquares, 200,
                                     o.threads >= 2 ? 0.7 : 1.0, p));
    }
    CallersRecord callers;
    const bool with_callers = has_case(o, "callers");
    if (with_callers)
        callers = callers_case(o);
    if (o.json) {
        print_json(o, records, with_callers ? &callers : nullptr);
    } else {
        if (!records.empty() || !with_callers)
            print_table(o, records);
        if (with_callers)
            print_callers(callers);
        if (has_case(o, "reuse"))
            run_reuse_cases(o.threads, o.threshold);
    }
    return 0;
}
