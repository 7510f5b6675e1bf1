// Row-by-row assembly of a system into compressed rows, and the block state.
#pragma once

#include "context.h"

namespace brisvel {

// Each returns QV_OK or the error code of the refused call; a refused call
// changes nothing.
int set_variable_count(Context &ctx, std::int32_t count);
int begin_block(Context &ctx, std::int32_t block);
int end_block(Context &ctx, std::int32_t block);
int lock_variable(Context &ctx, std::int32_t index);
int add_coefficient(Context &ctx, std::int32_t index, double value);
// Forgets the assembled system; variables and their values stay.
void discard_system(Context &ctx);

} // namespace brisvel
