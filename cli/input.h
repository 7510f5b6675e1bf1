// Reading the input files of brisvel-solve: plain or gzip-compressed.
#pragma once

#include "matrix_market.h"

#include <string>

namespace cli {

// Reads a Matrix Market file ("-" for standard input). Returns an empty
// text, or a message naming the file, and the line when the fault is in it.
std::string load_matrix(const std::string &path, mm::Matrix &out);

}  // namespace cli
