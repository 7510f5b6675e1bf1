// Writes the report of a run, as a few lines for people or as one JSON object.
#include "report.h"

namespace cli {
namespace {

std::string json_string(const std::string &s) {
    std::string out = "\"";
    for (const char ch : s) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

const char *boolean(bool b) { return b ? "true" : "false"; }

void print_json(std::FILE *out, const Report &r) {
    std::fprintf(out, "{\"matrix\": %s", json_string(r.matrix).c_str());
    if (r.probed)
        std::fprintf(out, ", \"extensions\": {\"SUPERLU\": %s, \"CHOLMOD\": %s}",
                     boolean(r.superlu), boolean(r.cholmod));
    if (!r.input_error.empty()) {
        std::fprintf(out, ", \"solved\": false, \"input_error\": %s}\n",
                     json_string(r.input_error).c_str());
        return;
    }
    if (!r.attempted) {
        std::fprintf(out, "}\n");
        return;
    }
    std::fprintf(out,
                 ", \"rows\": %d, \"cols\": %d, \"entries\": %lld, \"method\": %s, "
                 "\"preconditioner\": %s, \"least_squares\": %s, \"threads\": %d, "
                 "\"threshold\": %.3e, \"solved\": %s, \"iterations\": %d, "
                 "\"true_residual\": %.6e, \"library_residual\": %.6e",
                 r.rows, r.cols, static_cast<long long>(r.entries), json_string(r.method).c_str(),
                 json_string(r.preconditioner).c_str(), boolean(r.least_squares), r.threads,
                 r.threshold, boolean(r.solved), r.iterations, r.residual, r.library_residual);
    if (r.fill > 0.0)
        std::fprintf(out, ", \"fill\": %.3f", r.fill);
    if (!r.solved)
        std::fprintf(out, ", \"error\": %d, \"error_text\": %s", r.error,
                     json_string(r.error_text).c_str());
    std::fprintf(out,
                 ", \"seconds\": {\"read\": %.6f, \"assemble\": %.6f, \"solve\": %.6f, "
                 "\"setup\": %.6f, \"check\": %.6f, \"write\": %.6f}",
                 r.read_s, r.assemble_s, r.solve_s, r.setup_s, r.check_s, r.write_s);
    if (!r.output.empty())
        std::fprintf(out, ", \"output\": %s", json_string(r.output).c_str());
    if (!r.output_error.empty())
        std::fprintf(out, ", \"output_error\": %s", json_string(r.output_error).c_str());
    std::fprintf(out, "}\n");
}

void print_human(std::FILE *out, const Report &r) {
    if (r.probed)
        std::fprintf(out, "extensions: SUPERLU %s, CHOLMOD %s\n",
                     r.superlu ? "available" : "not available",
                     r.cholmod ? "available" : "not available");
    if (!r.input_error.empty()) {
        std::fprintf(out, "brisvel-solve: %s\n", r.input_error.c_str());
        return;
    }
    if (!r.attempted)
        return;
    std::fprintf(out, "%s: %d x %d, %lld entries; %s, %s%s, %d thread%s, threshold %.1e\n",
                 r.matrix.c_str(), r.rows, r.cols, static_cast<long long>(r.entries),
                 r.method.c_str(), r.preconditioner.c_str(),
                 r.least_squares ? ", least squares" : "", r.threads, r.threads == 1 ? "" : "s",
                 r.threshold);
    if (r.solved)
        std::fprintf(out, "solved in %d iterations; true relative residual %.3e\n", r.iterations,
                     r.residual);
    else
        std::fprintf(out, "NOT SOLVED: %s (after %d iterations; true relative residual %.3e)\n",
                     r.error_text.c_str(), r.iterations, r.residual);
    if (r.fill > 0.0)
        std::fprintf(out, "ILUT factors: %.2f times A's entries\n", r.fill);
    std::fprintf(out,
                 "time: read %.3f s, assemble %.3f s, solve %.3f s, check %.3f s, write %.3f s\n",
                 r.read_s, r.assemble_s, r.solve_s, r.check_s, r.write_s);
    if (!r.output_error.empty())
        std::fprintf(out, "brisvel-solve: %s\n", r.output_error.c_str());
}

}  // namespace

void print_report(std::FILE *out, const Report &r, bool json) {
    if (json)
        print_json(out, r);
    else
        print_human(out, r);
    std::fflush(out);
}

}  // namespace cli
