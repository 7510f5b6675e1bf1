// The command line of brisvel-solve.
#pragma once

#include <brisvel/brisvel.h>

#include <string>

namespace cli {

struct Options {
    std::string matrix;          // the Matrix Market file to solve
    std::string rhs;             // the right-hand side; empty: b = A * ones
    std::string output = "-";    // where the solution goes; "-" is standard output
    bool write_solution = true;  // false with --no-output
    QVint method = QV_METHOD_DEFAULT;
    QVint preconditioner = QV_PRECONDITIONER_JACOBI;
    double threshold = 0.0;    // 0: the library's default
    QVint max_iterations = 0;  // 0: the library's default
    QVint threads = 0;         // 0: the library's default
    QVint restart = 0;         // GMRES restart; 0: the library's default
    double omega = 0.0;        // SSOR factor; 0: the library's default
    double drop = -1.0;        // ILUT drop tolerance; negative: the library's default
    double fill = 0.0;         // ILUT fill limit; 0: the library's default
    double pivot = -1.0;       // ILUT pivoting threshold; negative: the library's default
    QVint scaling = -1;        // a QV_ILUT_* scaling; negative: the library's default
    bool least_squares = false;
    bool probe = false;  // report which extensions load
    bool json = false;
    bool progress = false;
    bool help = false;
};

// Fills options from the arguments; returns an empty text, or what is wrong.
std::string parse_options(int argc, char **argv, Options &options);
// The usage text.
const char *usage();
// Names of methods and preconditioners, for the report.
const char *method_name(QVint method);
const char *preconditioner_name(QVint preconditioner);

}  // namespace cli
