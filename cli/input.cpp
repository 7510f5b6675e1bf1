// Loads a whole file into memory, decompressing gzip when built with zlib,
// and hands it to the Matrix Market parser.
#include "input.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef BRISVEL_HAVE_ZLIB
#include <zlib.h>
#endif

namespace cli {
namespace {

bool is_gzip(const std::string &text) {
    return text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0x1f &&
           static_cast<unsigned char>(text[1]) == 0x8b;
}

// Reads all of a stream; false on a read error.
bool read_stream(std::FILE *f, std::string &out) {
    char buffer[1 << 16];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        out.append(buffer, n);
    return std::ferror(f) == 0;
}

#ifdef BRISVEL_HAVE_ZLIB
// zlib reads plain files as they are, and gzip files decompressed.
std::string read_file(const std::string &path, std::string &out) {
    gzFile f = gzopen(path.c_str(), "rb");
    if (f == nullptr)
        return std::strerror(errno);
    gzbuffer(f, 1 << 17);
    char buffer[1 << 16];
    int n;
    while ((n = gzread(f, buffer, sizeof buffer)) > 0)
        out.append(buffer, static_cast<std::size_t>(n));
    int code = Z_OK;
    const std::string message = n < 0 ? gzerror(f, &code) : "";
    gzclose(f);
    return n < 0 ? "cannot decompress: " + message : std::string();
}
#else
std::string read_file(const std::string &path, std::string &out) {
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return std::strerror(errno);
    const bool ok = read_stream(f, out);
    std::fclose(f);
    return ok ? std::string() : "read error";
}
#endif

}  // namespace

std::string load_matrix(const std::string &path, mm::Matrix &out) {
    std::string text;
    const std::string failure =
        path == "-" ? (read_stream(stdin, text) ? "" : "read error") : read_file(path, text);
    if (!failure.empty())
        return path + ": " + failure;
    if (is_gzip(text))
        return path + (path == "-" ? ": gzip-compressed standard input is not read; name the file"
                                   : ": gzip-compressed input needs a build with zlib");
    mm::Error error;
    if (!mm::parse(text.data(), text.size(), out, error))
        return path + ":" + std::to_string(error.line) + ": " + error.message;
    return {};
}

}  // namespace cli
