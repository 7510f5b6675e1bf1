// Row-by-row assembly straight into compressed rows, and the block state machine.
#include "context/assembly.h"

#include <algorithm>
#include <limits>
#include <new>

namespace brisvel {
namespace {

// Sorts the open row's entries by column and adds up repeated columns.
// Rows usually arrive sorted and short, so an insertion sort is the right tool.
void finish_row_entries(CsrMatrix &m) {
    const std::size_t first = static_cast<std::size_t>(m.row_ptr.back());
    const std::size_t last = m.col.size();
    std::size_t sorted = first + 1;
    while (sorted < last && m.col[sorted - 1] < m.col[sorted])
        ++sorted;
    if (sorted >= last)
        return;  // ascending and unique already, as rows usually come
    for (std::size_t k = sorted; k < last; ++k) {
        const std::int32_t c = m.col[k];
        const double v = m.val[k];
        std::size_t j = k;
        for (; j > first && m.col[j - 1] > c; --j) {
            m.col[j] = m.col[j - 1];
            m.val[j] = m.val[j - 1];
        }
        m.col[j] = c;
        m.val[j] = v;
    }
    std::size_t out = first;
    for (std::size_t k = first; k < last; ++k) {
        if (out > first && m.col[out - 1] == m.col[k]) {
            m.val[out - 1] += m.val[k];  // repeated coefficients add up
        } else {
            m.col[out] = m.col[k];
            m.val[out] = m.val[k];
            ++out;
        }
    }
    m.col.resize(out);
    m.val.resize(out);
}

// Room for the rows' starts and right-hand sides, one per variable, which a
// square system needs exactly.
void reserve_rows(Context &ctx) {
    const std::size_t rows = static_cast<std::size_t>(ctx.params.variable_count);
    try {
        ctx.matrix.row_ptr.reserve(rows + 1);
        ctx.rhs.reserve(rows);
    } catch (const std::bad_alloc &) {
        // push_back grows them as needed instead
    }
}

int begin_system(Context &ctx) {
    if (ctx.params.variable_count <= 0)
        return QV_ERROR_DIMENSION;
    discard_system(ctx);
    std::fill(ctx.locked.begin(), ctx.locked.end(), 0);
    ctx.block = Block::System;
    return QV_OK;
}

int end_row(Context &ctx) {
    CsrMatrix &m = ctx.matrix;
    if (m.rows == std::numeric_limits<std::int32_t>::max())
        return QV_ERROR_DIMENSION;
    finish_row_entries(m);  // leaves the same row, so it needs no undoing
    try {
        ctx.rhs.push_back(ctx.row_rhs);
    } catch (const std::bad_alloc &) {
        return QV_ERROR_OUT_OF_MEMORY;
    }
    try {
        m.row_ptr.push_back(static_cast<std::int64_t>(m.col.size()));
    } catch (const std::bad_alloc &) {
        ctx.rhs.pop_back();
        return QV_ERROR_OUT_OF_MEMORY;
    }
    ++m.rows;
    ctx.block = Block::Matrix;
    return QV_OK;
}

}  // namespace

// Makes room for at least extra more entries. Once a few rows are in, the
// room is sized from them: their average length, with a quarter to spare,
// times the rows expected (the variable count, or twice the rows so far when
// there are more), so that a matrix usually takes one allocation after the
// first rows.
namespace {

bool grow_entries(Context &ctx, std::size_t extra) {
    CsrMatrix &m = ctx.matrix;
    const std::size_t entries = m.col.size();
    const std::size_t rows_done = static_cast<std::size_t>(m.rows);
    const std::size_t finished = static_cast<std::size_t>(m.row_ptr.back());
    const std::size_t expected_rows =
        std::max(static_cast<std::size_t>(ctx.params.variable_count), 2 * rows_done);
    std::size_t wanted = 2 * entries;
    if (rows_done >= 8) {
        const double per_row = static_cast<double>(finished) / static_cast<double>(rows_done);
        wanted = static_cast<std::size_t>(per_row * 1.25 * static_cast<double>(expected_rows));
    }
    wanted = std::max({wanted, entries + entries / 4, entries + 64, entries + extra});
    try {
        m.col.reserve(wanted);
        m.val.reserve(wanted);
    } catch (const std::bad_alloc &) {
        return m.col.capacity() - entries >= extra && m.val.capacity() - entries >= extra;
    }
    return true;
}

// True when the index is a variable and the value finite, tested without
// branches so that a loop over a row vectorises.
inline bool good_entry(std::int32_t index, double value, std::uint32_t variables) {
    return (static_cast<std::uint32_t>(index) < variables) & (value - value == 0.0);
}

// The error a bad entry gives, checked in the order qvCoefficient checks.
int entry_error(std::int32_t index, double value, std::uint32_t variables) {
    if (static_cast<std::uint32_t>(index) >= variables)
        return QV_ERROR_INVALID_INDEX;
    return value - value == 0.0 ? QV_OK : QV_ERROR_NOT_FINITE;
}

}  // namespace

int add_coefficient_with_room(Context &ctx, std::int32_t index, double value) {
    if (!grow_entries(ctx, 1))
        return QV_ERROR_OUT_OF_MEMORY;
    ctx.matrix.col.push_back(index);
    ctx.matrix.val.push_back(value);
    return QV_OK;
}

int add_coefficients(Context &ctx, std::int32_t count, const std::int32_t *indices,
                     const double *values) {
    if (count < 0 || (count > 0 && (indices == nullptr || values == nullptr)))
        return QV_ERROR_INVALID_VALUE;
    // One pass over the whole row first; the faulty entry is looked for only
    // when there is one.
    const std::uint32_t variables = static_cast<std::uint32_t>(ctx.params.variable_count);
    bool good = true;
    for (std::int32_t k = 0; k < count; ++k)
        good &= good_entry(indices[k], values[k], variables);
    if (!good) {
        for (std::int32_t k = 0; k < count; ++k)
            if (const int code = entry_error(indices[k], values[k], variables))
                return code;
    }
    if (count == 0)
        return QV_OK;
    if (ctx.block != Block::Row)
        return QV_ERROR_BLOCK_ORDER;
    CsrMatrix &m = ctx.matrix;
    const std::size_t n = static_cast<std::size_t>(count);
    if ((m.col.capacity() - m.col.size() < n || m.val.capacity() - m.val.size() < n) &&
        !grow_entries(ctx, n))
        return QV_ERROR_OUT_OF_MEMORY;
    m.col.insert(m.col.end(), indices, indices + n);  // both have room: neither throws
    m.val.insert(m.val.end(), values, values + n);
    return QV_OK;
}

void discard_system(Context &ctx) {
    ctx.matrix = CsrMatrix{};
    ctx.matrix.cols = ctx.params.variable_count;
    ctx.rhs.clear();
    ctx.system_ready = false;
}

int set_variable_count(Context &ctx, std::int32_t count) {
    if (count <= 0 || count > QV_MAX_VARIABLES)
        return QV_ERROR_INVALID_VALUE;
    try {
        Vector values(ctx.values);
        std::vector<unsigned char> locked(ctx.locked);
        values.resize(static_cast<std::size_t>(count), 0.0);
        locked.resize(static_cast<std::size_t>(count), 0);
        ctx.values.swap(values);
        ctx.locked.swap(locked);
    } catch (const std::bad_alloc &) {
        return QV_ERROR_OUT_OF_MEMORY;
    }
    ctx.params.variable_count = count;
    discard_system(ctx);
    return QV_OK;
}

int begin_block(Context &ctx, std::int32_t block) {
    switch (block) {
    case QV_BLOCK_SYSTEM:
        return ctx.block == Block::None ? begin_system(ctx) : QV_ERROR_BLOCK_ORDER;
    case QV_BLOCK_MATRIX:
        if (ctx.block != Block::System)
            return QV_ERROR_BLOCK_ORDER;
        discard_system(ctx);  // a matrix block gives the whole matrix
        reserve_rows(ctx);
        ctx.block = Block::Matrix;
        return QV_OK;
    case QV_BLOCK_ROW:
        if (ctx.block != Block::Matrix)
            return QV_ERROR_BLOCK_ORDER;
        ctx.row_rhs = 0.0;
        ctx.block = Block::Row;
        return QV_OK;
    default:
        return QV_ERROR_INVALID_CODE;
    }
}

int end_block(Context &ctx, std::int32_t block) {
    switch (block) {
    case QV_BLOCK_SYSTEM:
        if (ctx.block != Block::System)
            return QV_ERROR_BLOCK_ORDER;
        ctx.block = Block::None;
        ctx.system_ready = true;
        return QV_OK;
    case QV_BLOCK_MATRIX:
        if (ctx.block != Block::Matrix)
            return QV_ERROR_BLOCK_ORDER;
        ctx.block = Block::System;
        return QV_OK;
    case QV_BLOCK_ROW:
        return ctx.block == Block::Row ? end_row(ctx) : QV_ERROR_BLOCK_ORDER;
    default:
        return QV_ERROR_INVALID_CODE;
    }
}

int lock_variable(Context &ctx, std::int32_t index) {
    if (ctx.block != Block::System)
        return QV_ERROR_BLOCK_ORDER;
    ctx.locked[static_cast<std::size_t>(index)] = 1;
    return QV_OK;
}

}  // namespace brisvel
