// brisvel-bench-petsc: times brisvel in this process against PETSc under
// mpiexec, in turns, on the same problems, with the true residual of every answer.
#include "petsc_worker.h"
#include "runs.h"

#include <petscversion.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

using namespace bench;

namespace {

const char usage[] =
    "usage: brisvel-bench-petsc [--grid N[,N...]] [--workers N[,N...]] [--repeat N]\n"
    "                           [--cases LIST] [--threshold T] [--mpiexec COMMAND]\n"
    "                           [--json] [--quiet]\n"
    "  --grid      grid sizes, 10 .. 1000 (N x N unknowns); default 400\n"
    "  --workers   brisvel's threads and PETSc's MPI ranks, run alike; default 1,2\n"
    "  --repeat    runs of each library on each case, taken in turns, the fastest\n"
    "              kept; default 3\n"
    "  --cases     any of bicgstab,gmres,cg,gmres-ilu,bicgstab-ilu,cg-ic,cg-ssor,\n"
    "              bicgstab-ssor,default-cd,default-step,default-poisson, and multigrid's\n"
    "              amg-poisson,amg-jumps,amg-aniso,amg-cd,amg-3d (each also -gamg),\n"
    "              cg-3d,cg-ic-3d; default all\n"
    "  --threshold relative residual ||b - Ax|| / ||b|| asked of both; default 1e-8\n"
    "  --mpiexec   the launcher and its options, before -n; default\n"
    "              \"mpiexec --oversubscribe --bind-to none\" (with --allow-run-as-root\n"
    "              when run as root)\n"
    "  --json      JSON instead of the table\n"
    "  --quiet     no progress on standard error\n";

// One case: a problem, brisvel's method and preconditioner, and PETSc's.
struct Case {
    const char *name;
    Kind kind;
    Solver solver;
    Preconditioner preconditioner;
    const char *petsc_method;          // bcgs, gmres or cg
    const char *petsc_preconditioner;  // jacobi, sor, ilu, icc, hypre or gamg
    double target;                     // brisvel's time over PETSc's
};

// The same method and preconditioner on both sides, then PETSc's default,
// GMRES(30) with ILU(0), against the fastest brisvel offers on the problem.
const Case all_cases[] = {
    {"bicgstab", Kind::ConvectionDiffusion, Solver::Bicgstab, Preconditioner::Jacobi, "bcgs",
     "jacobi", 1.0},
    {"gmres", Kind::ImplicitStep, Solver::Gmres, Preconditioner::Jacobi, "gmres", "jacobi", 1.0},
    {"cg", Kind::Poisson, Solver::Cg, Preconditioner::Jacobi, "cg", "jacobi", 1.0},
    {"gmres-ilu", Kind::ConvectionDiffusion, Solver::Gmres, Preconditioner::Ilu0, "gmres", "ilu",
     1.0},
    {"bicgstab-ilu", Kind::ConvectionDiffusion, Solver::Bicgstab, Preconditioner::Ilu0, "bcgs",
     "ilu", 1.0},
    {"cg-ic", Kind::Poisson, Solver::Cg, Preconditioner::Ic0, "cg", "icc", 1.0},
    {"cg-ssor", Kind::Poisson, Solver::Cg, Preconditioner::Ssor, "cg", "sor", 1.0},
    {"bicgstab-ssor", Kind::ConvectionDiffusion, Solver::Bicgstab, Preconditioner::Ssor, "bcgs",
     "sor", 1.0},
    {"default-cd", Kind::ConvectionDiffusion, Solver::Bicgstab, Preconditioner::Ilu0, "gmres",
     "ilu", 1.0},
    {"default-step", Kind::ImplicitStep, Solver::Bicgstab, Preconditioner::Ilu0, "gmres", "ilu",
     1.0},
    {"default-poisson", Kind::Poisson, Solver::Cg, Preconditioner::Ic0, "gmres", "ilu", 1.0},
    // Multigrid: brisvel's AMG against BoomerAMG and GAMG, on the elliptic
    // problems and on convection-diffusion (BiCGStab's preconditioner); and
    // on the cube, the single-level preconditioners that may be faster there.
    {"amg-poisson", Kind::Poisson, Solver::Cg, Preconditioner::Amg, "cg", "hypre", 1.0},
    {"amg-poisson-gamg", Kind::Poisson, Solver::Cg, Preconditioner::Amg, "cg", "gamg", 1.0},
    {"amg-jumps", Kind::Jumps, Solver::Cg, Preconditioner::Amg, "cg", "hypre", 1.0},
    {"amg-jumps-gamg", Kind::Jumps, Solver::Cg, Preconditioner::Amg, "cg", "gamg", 1.0},
    {"amg-aniso", Kind::Anisotropic, Solver::Cg, Preconditioner::Amg, "cg", "hypre", 1.0},
    {"amg-aniso-gamg", Kind::Anisotropic, Solver::Cg, Preconditioner::Amg, "cg", "gamg", 1.0},
    {"amg-cd", Kind::ConvectionDiffusion, Solver::Bicgstab, Preconditioner::Amg, "bcgs", "hypre",
     1.0},
    {"amg-cd-gamg", Kind::ConvectionDiffusion, Solver::Bicgstab, Preconditioner::Amg, "bcgs",
     "gamg", 1.0},
    {"amg-3d", Kind::Poisson3d, Solver::Cg, Preconditioner::Amg, "cg", "hypre", 1.0},
    {"amg-3d-gamg", Kind::Poisson3d, Solver::Cg, Preconditioner::Amg, "cg", "gamg", 1.0},
    {"cg-3d", Kind::Poisson3d, Solver::Cg, Preconditioner::Jacobi, "cg", "jacobi", 1.0},
    {"cg-ic-3d", Kind::Poisson3d, Solver::Cg, Preconditioner::Ic0, "cg", "icc", 1.0},
};

struct Options {
    std::vector<int> grids{400};
    std::vector<int> workers{1, 2};
    int repeat = 3;
    double threshold = 1e-8;
    std::vector<std::string> cases;  // empty: all
    std::string mpiexec;
    bool json = false;
    bool quiet = false;
};

struct Record {
    const Case *c = nullptr;
    int grid = 0;
    int workers = 1;
    Outcome brisvel, petsc;
    std::string petsc_setup;  // PETSc's method and preconditioner as it ran
    double ratio = 0.0;
    bool met = false;
};

bool known_case(const std::string &name) {
    for (const Case &c : all_cases)
        if (name == c.name)
            return true;
    return false;
}

bool parse(int argc, char **argv, Options &o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--json") {
            o.json = true;
        } else if (arg == "--quiet") {
            o.quiet = true;
        } else if (value == nullptr) {
            return false;
        } else if (arg == "--grid" || arg == "--workers") {
            std::vector<int> &list = arg == "--grid" ? o.grids : o.workers;
            list.clear();
            for (const std::string &g : split_list(value))
                list.push_back(std::atoi(g.c_str()));
            for (int v : list)
                if (arg == "--grid" ? v < 10 || v > 1000 : v < 1 || v > 64)
                    return false;
            ++i;
        } else if (arg == "--repeat") {
            o.repeat = std::max(1, std::atoi(value));
            ++i;
        } else if (arg == "--threshold") {
            o.threshold = std::atof(value);
            ++i;
        } else if (arg == "--cases") {
            o.cases = split_list(value);
            for (const std::string &name : o.cases)
                if (!known_case(name))
                    return false;
            ++i;
        } else if (arg == "--mpiexec") {
            o.mpiexec = value;
            ++i;
        } else {
            return false;
        }
    }
    return !o.grids.empty() && !o.workers.empty() && o.threshold > 0.0 && o.threshold < 1.0;
}

bool wanted(const Options &o, const Case &c) {
    return o.cases.empty() || std::find(o.cases.begin(), o.cases.end(), c.name) != o.cases.end();
}

const char *kind_name(Kind kind) {
    switch (kind) {
    case Kind::ConvectionDiffusion:
        return "cd";
    case Kind::ImplicitStep:
        return "step";
    case Kind::Jumps:
        return "jumps";
    case Kind::Anisotropic:
        return "aniso";
    case Kind::Poisson3d:
        return "poisson3d";
    default:
        return "poisson";
    }
}

std::string self_path() {
    char buf[4096];
    const ssize_t len = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (len <= 0)
        return "brisvel-bench-petsc";
    buf[len] = '\0';
    return buf;
}

// One PETSc run: the worker under mpiexec with the given ranks; its result
// line parsed, or the reason it gave none.
Outcome petsc_run(const Options &o, const Case &c, int grid, int ranks, std::string &setup) {
    Outcome out;
    char tail[256];
    std::snprintf(tail, sizeof tail, " -n %d '%s' --worker %s %s %s %d %.3e 2>&1", ranks,
                  self_path().c_str(), kind_name(c.kind), c.petsc_method, c.petsc_preconditioner,
                  grid, o.threshold);
    const std::string command = o.mpiexec + tail;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        out.available = false;
        out.note = "could not start mpiexec";
        return out;
    }
    char line[1024];
    bool found = false;
    std::string last;
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        double seconds = 0.0, residual = 0.0, claimed = 0.0;
        int iterations = 0, reason = 0, used = 0;
        if (std::sscanf(line, "result %lf %d %lf %lf %d %n", &seconds, &iterations, &residual,
                        &claimed, &reason, &used) == 5) {
            found = true;
            out.seconds = seconds;
            out.iterations = iterations;
            out.residual = residual;
            out.claimed = claimed;
            out.succeeded = reason > 0;
            if (!out.succeeded)
                out.note = "KSP reason " + std::to_string(reason);
            setup = line + used;
            while (!setup.empty() && (setup.back() == '\n' || setup.back() == '\r'))
                setup.pop_back();
        } else if (line[0] != '\n') {
            last = line;
        }
    }
    const int status = pclose(pipe);
    if (!found) {
        out.available = false;
        while (!last.empty() && (last.back() == '\n' || last.back() == '\r'))
            last.pop_back();
        out.note = "no result from the worker (status " + std::to_string(status) + "): " + last;
    }
    return out;
}

Outcome faster(const Outcome &a, const Outcome &b) {
    if (!a.available)
        return b;
    return b.available && b.seconds < a.seconds ? b : a;
}

void progress(const Options &o, const std::string &what) {
    if (!o.quiet)
        std::fprintf(stderr, "[%6.1f s] %s\n", now(), what.c_str());
}

Record run_case(const Options &o, const Case &c, const Problem &p, int workers) {
    Record rec;
    rec.c = &c;
    rec.grid = p.grid;
    rec.workers = workers;
    const std::string label = std::to_string(p.grid) + "x" + std::to_string(p.grid) + " " + c.name +
                              ", " + std::to_string(workers) + " worker" +
                              (workers == 1 ? "" : "s");
    for (int k = 0; k < o.repeat; ++k) {
        progress(o, label + ": brisvel");
        const Outcome mine =
            brisvel_solve(p, c.solver, o.threshold, workers, nullptr, c.preconditioner);
        rec.brisvel = k == 0 ? mine : faster(rec.brisvel, mine);
        progress(o, label + ": PETSc");
        std::string setup;
        const Outcome theirs = petsc_run(o, c, p.grid, workers, setup);
        if (k == 0 ||
            (theirs.available && (!rec.petsc.available || theirs.seconds < rec.petsc.seconds))) {
            rec.petsc = theirs;
            rec.petsc_setup = setup;
        }
        if (!theirs.available && k == 0)
            break;  // no PETSc run works: nothing to compare with
    }
    rec.ratio = rec.brisvel.seconds / rec.petsc.seconds;
    rec.met = rec.petsc.available && rec.ratio <= c.target && rec.brisvel.succeeded &&
              rec.brisvel.residual <= o.threshold;
    return rec;
}

const char *preconditioner_name(Preconditioner preconditioner) {
    switch (preconditioner) {
    case Preconditioner::Ssor:
        return "ssor";
    case Preconditioner::Ilu0:
        return "ilu(0)";
    case Preconditioner::Ic0:
        return "ic(0)";
    case Preconditioner::Amg:
        return "amg";
    default:
        return "jacobi";
    }
}

const char *solver_name(Solver solver) {
    switch (solver) {
    case Solver::Bicgstab:
        return "bicgstab";
    case Solver::Gmres:
        return "gmres(30)";
    default:
        return "cg";
    }
}

std::string residual_text(const Outcome &out) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2e", out.residual);
    return buf;
}

// The problem's size as the tables give it: 700x700, or 80^3 for the cube.
std::string size_text(const Record &rec) {
    char text[24];
    if (rec.c->kind == Kind::Poisson3d)
        std::snprintf(text, sizeof text, "%d^3", side_3d(rec.grid));
    else
        std::snprintf(text, sizeof text, "%dx%d", rec.grid, rec.grid);
    return text;
}

void print_table(const Options &o, const std::vector<Record> &records) {
    std::printf("brisvel-bench-petsc: %s; PETSc %d.%d.%d under mpiexec, brisvel with as many "
                "threads as PETSc has ranks; threshold %.0e on ||b - Ax|| / ||b||; best of %d "
                "runs in turns\n",
                cpu_model().c_str(), PETSC_VERSION_MAJOR, PETSC_VERSION_MINOR,
                PETSC_VERSION_SUBMINOR, o.threshold, o.repeat);
    std::printf("%-16s %-9s %2s | %-10s %6s %9s | %-10s %6s %9s | %6s %7s\n", "case", "grid", "w",
                "brisvel", "iters", "true res", "PETSc", "iters", "true res", "ratio", "target");
    for (const Record &rec : records) {
        std::printf("%-16s %-9s %2d | %8.4f s %6d %9s | ", rec.c->name, size_text(rec).c_str(),
                    rec.workers, rec.brisvel.seconds, rec.brisvel.iterations,
                    residual_text(rec.brisvel).c_str());
        if (!rec.petsc.available) {
            std::printf("unavailable: %s\n", rec.petsc.note.c_str());
            continue;
        }
        std::printf("%8.4f s %6d %9s | %6.2f  <=%.2f %s (brisvel %s+%s, setup %.3f s; PETSc %s)",
                    rec.petsc.seconds, rec.petsc.iterations, residual_text(rec.petsc).c_str(),
                    rec.ratio, rec.c->target, rec.met ? "met" : "MISSED",
                    solver_name(rec.c->solver), preconditioner_name(rec.c->preconditioner),
                    rec.brisvel.setup, rec.petsc_setup.c_str());
        if (!rec.brisvel.succeeded)
            std::printf(" (brisvel: %s)", rec.brisvel.note.c_str());
        if (!rec.petsc.note.empty())
            std::printf(" (PETSc: %s)", rec.petsc.note.c_str());
        if (rec.petsc.claimed <= o.threshold && rec.petsc.residual > o.threshold)
            std::printf(" (PETSc claimed %.1e)", rec.petsc.claimed);
        std::printf("\n");
    }
}

void print_side(const char *name, const Outcome &out) {
    std::printf("\"%s\": {\"available\": %s", name, out.available ? "true" : "false");
    if (out.available)
        std::printf(", \"seconds\": %.6g, \"succeeded\": %s, \"iterations\": %d, "
                    "\"true_residual\": %.3e, \"claimed_residual\": %.3e",
                    out.seconds, out.succeeded ? "true" : "false", out.iterations, out.residual,
                    out.claimed);
    if (out.available && out.setup >= 0.0)
        std::printf(", \"setup_seconds\": %.6g", out.setup);
    if (!out.note.empty())
        std::printf(", \"note\": \"%s\"", out.note.c_str());
    std::printf("}");
}

void print_json(const Options &o, const std::vector<Record> &records) {
    std::printf("{\"petsc\": \"%d.%d.%d\", \"threshold\": %.3e, \"repeat\": %d, \"results\": [\n",
                PETSC_VERSION_MAJOR, PETSC_VERSION_MINOR, PETSC_VERSION_SUBMINOR, o.threshold,
                o.repeat);
    for (std::size_t k = 0; k < records.size(); ++k) {
        const Record &rec = records[k];
        std::printf("  {\"case\": \"%s\", \"grid\": \"%s\", \"workers\": %d, "
                    "\"brisvel_setup\": \"%s+%s\", \"petsc_setup\": \"%s\", ",
                    rec.c->name, size_text(rec).c_str(), rec.workers, solver_name(rec.c->solver),
                    preconditioner_name(rec.c->preconditioner), rec.petsc_setup.c_str());
        print_side("brisvel", rec.brisvel);
        std::printf(", ");
        print_side("petsc", rec.petsc);
        if (rec.petsc.available)
            std::printf(", \"ratio\": %.4f, \"target\": \"<= %.2f\", \"met\": %s", rec.ratio,
                        rec.c->target, rec.met ? "true" : "false");
        std::printf("}%s\n", k + 1 < records.size() ? "," : "");
    }
    std::printf("]}\n");
}

}  // namespace

int main(int argc, char **argv) {
    if (argc > 1 && std::strcmp(argv[1], "--worker") == 0)
        return petsc_worker(argc, argv);
    Options o;
    if (!parse(argc, argv, o)) {
        std::fputs(usage, stderr);
        return 2;
    }
    if (o.mpiexec.empty())
        o.mpiexec = std::string("mpiexec") + (geteuid() == 0 ? " --allow-run-as-root" : "") +
                    " --oversubscribe --bind-to none";
    std::vector<Record> records;
    for (int grid : o.grids) {
        for (Kind kind : {Kind::ConvectionDiffusion, Kind::ImplicitStep, Kind::Poisson, Kind::Jumps,
                          Kind::Anisotropic, Kind::Poisson3d}) {
            bool any = false;
            for (const Case &c : all_cases)
                any = any || (c.kind == kind && wanted(o, c));
            if (!any)
                continue;
            const Problem p = make_problem(kind, grid);
            for (int workers : o.workers)
                for (const Case &c : all_cases)
                    if (c.kind == kind && wanted(o, c))
                        records.push_back(run_case(o, c, p, workers));
        }
    }
    // In the order of the case list, grid by grid and workers by workers.
    std::stable_sort(records.begin(), records.end(), [](const Record &a, const Record &b) {
        if (a.grid != b.grid)
            return a.grid < b.grid;
        if (a.workers != b.workers)
            return a.workers < b.workers;
        return a.c < b.c;
    });
    if (o.json)
        print_json(o, records);
    else
        print_table(o, records);
    return 0;
}
