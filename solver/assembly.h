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
// (add_coefficient, below, is inline.)
// Forgets the assembled system; variables and their values stay.
void discard_system(Context &ctx);

// Makes room for more entries of the open row; false when memory runs out.
bool grow_entries(Context &ctx);

// Inline: it runs once for every coefficient given.
inline int add_coefficient(Context &ctx, std::int32_t index, double value) {
    if (ctx.block != Block::Row)
        return QV_ERROR_BLOCK_ORDER;
    CsrMatrix &m = ctx.matrix;
    const bool full = m.col.size() == m.col.capacity() || m.val.size() == m.val.capacity();
    if (full && !grow_entries(ctx))
        return QV_ERROR_OUT_OF_MEMORY;
    m.col.push_back(index);  // both have room: neither throws
    m.val.push_back(value);
    return QV_OK;
}

} // namespace brisvel
