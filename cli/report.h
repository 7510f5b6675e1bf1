// The report brisvel-solve writes on standard error: a short summary, or JSON.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace cli {

struct Report {
    std::string matrix;
    std::int32_t rows = 0, cols = 0;
    std::int64_t entries = 0;  // as read, symmetric files expanded
    std::string method, preconditioner;
    bool least_squares = false;
    int threads = 0;
    double threshold = 0.0;
    bool probed = false;  // extensions were looked for
    bool superlu = false, cholmod = false;
    std::string input_error;  // the input was refused: why
    bool attempted = false;   // a solve was run
    bool solved = false;
    int error = 0;  // the library's error code when not solved
    std::string error_text;
    int iterations = 0;
    double residual = 0.0;          // true relative residual, computed by brisvel-solve
    double library_residual = 0.0;  // the one the library reported
    double setup_s = 0.0;           // of the solve, building the preconditioner or factorisation
    double fill = 0.0;              // an ILUT factor's entries over A's; 0 for others
    double read_s = 0.0, assemble_s = 0.0, solve_s = 0.0, check_s = 0.0, write_s = 0.0;
    std::string output;  // where the solution went; empty when not written
    std::string output_error;
};

void print_report(std::FILE *out, const Report &r, bool json);

}  // namespace cli
