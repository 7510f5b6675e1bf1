// Parsing the command line of brisvel-solve.
#include "options.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace cli {
namespace {

struct Name {
    const char *name;
    QVint code;
};

const Name methods[] = {
    {"default", QV_METHOD_DEFAULT}, {"bicgstab", QV_METHOD_BICGSTAB},
    {"gmres", QV_METHOD_GMRES},     {"cg", QV_METHOD_CG},
    {"superlu", QV_METHOD_SUPERLU}, {"superlu-permuted", QV_METHOD_SUPERLU_PERMUTED},
    {"cholmod", QV_METHOD_CHOLMOD},
};

const Name preconditioners[] = {
    {"jacobi", QV_PRECONDITIONER_JACOBI}, {"ssor", QV_PRECONDITIONER_SSOR},
    {"ilu0", QV_PRECONDITIONER_ILU0},     {"ic0", QV_PRECONDITIONER_IC0},
    {"amg", QV_PRECONDITIONER_AMG},       {"none", QV_PRECONDITIONER_NONE},
    {"ilut", QV_PRECONDITIONER_ILUT},
};

const Name scalings[] = {
    {"matching", QV_ILUT_MATCHING},
    {"equilibrate", QV_ILUT_EQUILIBRATE},
    {"none", QV_ILUT_NO_SCALING},
};

template <std::size_t N> bool find_code(const Name (&names)[N], const char *text, QVint &code) {
    for (const Name &n : names)
        if (std::strcmp(n.name, text) == 0) {
            code = n.code;
            return true;
        }
    return false;
}

template <std::size_t N> const char *find_name(const Name (&names)[N], QVint code) {
    for (const Name &n : names)
        if (n.code == code)
            return n.name;
    return "?";
}

bool to_int(const char *text, QVint low, QVint &out) {
    const char *end = text + std::strlen(text);
    const auto [rest, ec] = std::from_chars(text, end, out);
    return ec == std::errc() && rest == end && out >= low;
}

bool to_double(const char *text, double &out) {
    const char *end = text + std::strlen(text);
    const auto [rest, ec] = std::from_chars(text, end, out);
    return ec == std::errc() && rest == end && std::isfinite(out);
}

}  // namespace

const char *usage() {
    return "usage: brisvel-solve [options] MATRIX.mtx [RHS.mtx]\n"
           "Solves A x = b for a Matrix Market matrix A (coordinate or array; real,\n"
           "integer or pattern; general, symmetric or skew-symmetric; gzip when built\n"
           "with zlib). Without RHS, b = A * (1, ..., 1). The solution is written as a\n"
           "Matrix Market array; the report goes to standard error.\n"
           "  -o, --output FILE        the solution's file (default: standard output)\n"
           "      --no-output          do not write the solution\n"
           "  -m, --method NAME        default, bicgstab, gmres, cg, superlu,\n"
           "                           superlu-permuted, cholmod\n"
           "  -p, --preconditioner P   jacobi (default), ssor, ilu0, ic0, amg, ilut, none\n"
           "  -t, --threshold T        true relative residual to reach (default 1e-10)\n"
           "  -i, --max-iterations N   iteration limit (default max(1000, 2n))\n"
           "  -j, --threads N          threads (default: the processors available)\n"
           "      --restart N          GMRES restart length (default 30)\n"
           "      --omega W            SSOR relaxation factor (default 1)\n"
           "      --drop T             ILUT drop tolerance, relative to each row (default 1e-4)\n"
           "      --fill F             ILUT factors' most entries over A's (default 10)\n"
           "      --pivot P            ILUT pivoting threshold, 0 = never (default 0.1)\n"
           "      --scaling S          ILUT row order and scaling: matching (default),\n"
           "                           equilibrate, none\n"
           "  -l, --least-squares      minimise ||b - A x|| (A may be rectangular)\n"
           "      --extensions         report which extensions (SUPERLU, CHOLMOD) load;\n"
           "                           with no MATRIX, only that\n"
           "      --json               the report as JSON\n"
           "      --progress           a live line of iteration and residual on a terminal\n"
           "  -h, --help               this text\n"
           "Exit status: 0 solved, 1 not solved, 2 bad input or usage, 3 output not written.\n";
}

const char *method_name(QVint method) { return find_name(methods, method); }
const char *preconditioner_name(QVint preconditioner) {
    return find_name(preconditioners, preconditioner);
}

std::string parse_options(int argc, char **argv, Options &o) {
    int positional = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto is = [&arg](const char *s, const char *l) { return arg == s || arg == l; };
        if (is("-h", "--help")) {
            o.help = true;
        } else if (is("-l", "--least-squares")) {
            o.least_squares = true;
        } else if (arg == "--no-output") {
            o.write_solution = false;
        } else if (arg == "--extensions") {
            o.probe = true;
        } else if (arg == "--json") {
            o.json = true;
        } else if (arg == "--progress") {
            o.progress = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            if (i + 1 >= argc)
                return arg + " needs a value";
            const char *v = argv[++i];
            bool ok = true;
            if (is("-o", "--output"))
                o.output = v;
            else if (is("-m", "--method"))
                ok = find_code(methods, v, o.method);
            else if (is("-p", "--preconditioner"))
                ok = find_code(preconditioners, v, o.preconditioner);
            else if (is("-t", "--threshold"))
                ok = to_double(v, o.threshold) && o.threshold > 0.0 && o.threshold < 1.0;
            else if (is("-i", "--max-iterations"))
                ok = to_int(v, 1, o.max_iterations);
            else if (is("-j", "--threads"))
                ok = to_int(v, 1, o.threads) && o.threads <= QV_MAX_THREADS;
            else if (arg == "--restart")
                ok = to_int(v, 1, o.restart) && o.restart <= 1000;
            else if (arg == "--omega")
                ok = to_double(v, o.omega) && o.omega > 0.0 && o.omega < 2.0;
            else if (arg == "--drop")
                ok = to_double(v, o.drop) && o.drop >= 0.0 && o.drop < 1.0;
            else if (arg == "--fill")
                ok = to_double(v, o.fill) && o.fill > 0.0 && o.fill <= 1000.0;
            else if (arg == "--pivot")
                ok = to_double(v, o.pivot) && o.pivot >= 0.0 && o.pivot <= 1.0;
            else if (arg == "--scaling")
                ok = find_code(scalings, v, o.scaling);
            else
                return "unknown option " + arg;
            if (!ok)
                return "bad value for " + arg + ": " + v;
        } else if (positional == 0) {
            o.matrix = arg;
            ++positional;
        } else if (positional == 1) {
            o.rhs = arg;
            ++positional;
        } else {
            return "too many files: " + arg;
        }
    }
    if (o.matrix.empty() && !o.help && !o.probe)
        return "no matrix file given";
    return {};
}

}  // namespace cli
