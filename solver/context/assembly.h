// Row-by-row assembly of a system into compressed rows, and the block state.
#pragma once

#include "context/context.h"
#include "error.h"

namespace brisvel {

// Each returns QV_OK or the error code of the refused call; a refused call
// changes nothing.
int set_variable_count(Context &ctx, std::int32_t count);
// Sets the number of systems sharing the matrix, outside blocks: the matrix,
// the locks and the setup stay, the systems kept keep their right-hand sides
// and values, and new ones start with zeros.
int set_system_count(Context &ctx, std::int32_t count);
int begin_block(Context &ctx, std::int32_t block);
int end_block(Context &ctx, std::int32_t block);
int lock_variable(Context &ctx, std::int32_t index);
// (add_coefficient, below, is inline.)
// Forgets the assembled system; variables and their values stay.
void discard_system(Context &ctx);

// Out of line, for when the arrays are full: makes room for more entries,
// then adds the coefficient as add_coefficient does.
int add_coefficient_with_room(Context &ctx, std::int32_t index, double value);

// Adds count entries to the open row as count calls of add_coefficient
// would, or none of them: QV_ERROR_INVALID_VALUE for a negative count or a
// null array, else the first entry's QV_ERROR_INVALID_INDEX or
// QV_ERROR_NOT_FINITE, else QV_ERROR_BLOCK_ORDER outside a row.
int add_coefficients(Context &ctx, std::int32_t count, const std::int32_t *indices,
                     const double *values);

// Sets the open row's right-hand sides, one for each system: all, or none
// with QV_ERROR_INVALID_VALUE for a count other than the systems' or a null
// array, QV_ERROR_NOT_FINITE, or QV_ERROR_BLOCK_ORDER outside a row.
int set_row_rhs(Context &ctx, std::int32_t count, const double *values);

// Gives the whole matrix in compressed rows, in the system block, as a
// matrix block of those rows would; all or nothing, refused with the error
// of the first fault, in the order the interface documents.
int set_compressed_rows(Context &ctx, std::int32_t rows, const std::int64_t *starts,
                        const std::int32_t *columns, const double *values, const double *rhs);

// Inline: it runs once for every coefficient given.
inline int add_coefficient(Context &ctx, std::int32_t index, double value) {
    if (ctx.block != Block::Row)
        return BRISVEL_ERROR(QV_ERROR_BLOCK_ORDER);
    CsrMatrix &m = ctx.matrix;
    if (m.col.size() == m.col.capacity() || m.val.size() == m.val.capacity())
        return add_coefficient_with_room(ctx, index, value);
    m.col.push_back(index);  // both have room: neither throws
    m.val.push_back(value);
    return QV_OK;
}

}  // namespace brisvel
