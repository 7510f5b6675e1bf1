// Matrix Market files: a reader of real, integer and pattern matrices, in
// coordinate or array form, and a writer of dense vectors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace mm {

// A matrix as entries, 0-based, with symmetric and skew-symmetric files
// expanded to both triangles. Entries may repeat (their values then add up);
// an array file gives its nonzero values only.
struct Matrix {
    std::int32_t rows = 0;
    std::int32_t cols = 0;
    std::vector<std::int32_t> row;
    std::vector<std::int32_t> col;
    std::vector<double> val;
};

// What went wrong, and on which line (from 1).
struct Error {
    long line = 0;
    std::string message;
};

// Parses a whole file held in memory. On failure fills error and returns false.
bool parse(const char *text, std::size_t size, Matrix &out, Error &error);

// The matrix as a dense column: it must have one column (or one row) of
// `length` entries. Returns an empty text, or what is wrong.
std::string to_vector(const Matrix &m, std::int32_t length, std::vector<double> &out);

// Writes x as an n x 1 array, each value to 17 significant digits so that
// reading it back gives the same numbers. Returns false when writing failed.
bool write_vector(std::FILE *file, const double *x, std::size_t n);

}  // namespace mm
