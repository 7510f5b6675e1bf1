// Reading and writing a context's parameters and the results of its last
// solve, checked against the tables of methods and preconditioners.
#pragma once

#include "context/context.h"

namespace brisvel {

// Each answers QV_OK or the error code of the refused call; a refused call
// changes nothing. Setting requires that no block is open (the caller checks).
int set_parameter(Context &ctx, int code, std::int32_t value);
int set_parameter(Context &ctx, int code, double value);
int get_parameter(const Context &ctx, int code, std::int32_t &value);
int get_parameter(const Context &ctx, int code, double &value);

}  // namespace brisvel
