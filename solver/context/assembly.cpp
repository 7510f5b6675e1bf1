// Row-by-row assembly straight into compressed rows, and the block state machine.
#include "context/assembly.h"

#include "error.h"
#include "kernels/vector_ops.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace brisvel {
namespace {

// Entries out of order at a row's end up to this many are inserted one by
// one; more are sorted together, so that closing a row of k entries costs
// O(k log k) whatever their order.
constexpr std::size_t insertion_limit = 32;
// Rows of at most this many entries are sorted by ranks, with no branch to
// mispredict on columns in random order.
constexpr std::size_t rank_limit = 8;

// The place of entry k among the rank_limit columns col (padded past the
// last entry with a column after every variable's): the count of smaller
// columns, and of its own column's entries before it.
inline std::int32_t rank_of(const std::int32_t *col, std::size_t k) {
#if defined(__SSE2__)
    static_assert(rank_limit == 8, "two vectors of four columns");
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i *>(col));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i *>(col + 4));
    const __m128i c = _mm_set1_epi32(col[k]), place = _mm_set1_epi32(static_cast<int>(k));
    const __m128i before_low = _mm_cmpgt_epi32(place, _mm_setr_epi32(0, 1, 2, 3));
    const __m128i before_high = _mm_cmpgt_epi32(place, _mm_setr_epi32(4, 5, 6, 7));
    const __m128i ahead_low =
        _mm_or_si128(_mm_cmpgt_epi32(c, low), _mm_and_si128(_mm_cmpeq_epi32(c, low), before_low));
    const __m128i ahead_high = _mm_or_si128(_mm_cmpgt_epi32(c, high),
                                            _mm_and_si128(_mm_cmpeq_epi32(c, high), before_high));
    __m128i sum = _mm_add_epi32(ahead_low, ahead_high);  // -1 for each entry ahead
    sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, 0x4e));
    sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, 0xb1));
    return -_mm_cvtsi128_si32(sum);
#else
    std::int32_t rank = 0;
    for (std::size_t j = 0; j < rank_limit; ++j)
        rank += static_cast<std::int32_t>(col[j] < col[k]) +
                static_cast<std::int32_t>(col[j] == col[k] && j < k);
    return rank;
#endif
}

// Sorts the entries [first, last) of m by column, those before sorted being
// in order already. Stable, so repeated columns keep the order they came in.
void sort_entries(CsrMatrix &m, std::size_t first, std::size_t sorted, std::size_t last) {
    if (last - first <= rank_limit) {  // each entry goes straight to its rank
        // (padded with a column past every variable's, so that each count
        // runs over all rank_limit places)
        std::int32_t col[rank_limit];
        std::fill(col, col + rank_limit, std::numeric_limits<std::int32_t>::max());
        double val[rank_limit];
        const std::size_t n = last - first;
        for (std::size_t k = 0; k < n; ++k) {
            col[k] = m.col[first + k];
            val[k] = m.val[first + k];
        }
        for (std::size_t k = 0; k < n; ++k) {
            const auto rank = static_cast<std::size_t>(rank_of(col, k));
            m.col[first + rank] = col[k];
            m.val[first + rank] = val[k];
        }
        return;
    }
    if (last - sorted <= insertion_limit) {
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
        return;
    }
    std::vector<std::pair<std::int32_t, double>> entries(last - first);
    for (std::size_t k = first; k < last; ++k)
        entries[k - first] = {m.col[k], m.val[k]};
    std::stable_sort(entries.begin(), entries.end(),
                     [](const auto &x, const auto &y) { return x.first < y.first; });
    for (std::size_t k = first; k < last; ++k) {
        m.col[k] = entries[k - first].first;
        m.val[k] = entries[k - first].second;
    }
}

// Sorts the open row's entries by column and adds up repeated columns; those
// before known_sorted are known to be in order already.
void finish_row_entries(CsrMatrix &m, std::size_t known_sorted) {
    const std::size_t first = static_cast<std::size_t>(m.row_ptr.back());
    const std::size_t last = m.col.size();
    std::size_t sorted = std::max(first + 1, known_sorted);
    while (sorted < last && m.col[sorted - 1] < m.col[sorted])
        ++sorted;
    if (sorted >= last)
        return;  // ascending and unique already, as rows usually come
    sort_entries(m, first, sorted, last);
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
        for (Vector &rhs : ctx.rhs)
            rhs.reserve(rows);
    } catch (const std::bad_alloc &) {
        // push_back grows them as needed instead
    }
}

// The arrays keep their room for another matrix of about the same size;
// but the room sized from the first rows is rarely used up, and what the
// last filled huge page holds past the end would stay resident through the
// solves. It is given back (its addresses stay reserved).
void release_unused_rows(Context &ctx) {
    release_unused_room(ctx.matrix.col);
    release_unused_room(ctx.matrix.val);
    release_unused_room(ctx.matrix.row_ptr);
    for (Vector &rhs : ctx.rhs)
        release_unused_room(rhs);
}

// Forgets the assembled rows but keeps the arrays' room, so that assembling
// a system like the last one again needs no new memory.
void clear_rows(Context &ctx) {
    CsrMatrix &m = ctx.matrix;
    m.rows = 0;
    m.cols = ctx.params.variable_count;
    m.row_ptr.resize(1);
    m.row_ptr[0] = 0;
    m.col.clear();
    m.val.clear();
    for (Vector &rhs : ctx.rhs)
        rhs.clear();
    ctx.system_ready = false;
}

int begin_system(Context &ctx) {
    if (ctx.params.variable_count <= 0)
        return BRISVEL_ERROR(QV_ERROR_DIMENSION);
    clear_rows(ctx);
    std::fill(ctx.locked.begin(), ctx.locked.end(), 0);
    ++ctx.assembly;
    forget_assembly(ctx.setup);
    ctx.block = Block::System;
    return QV_OK;
}

int end_row(Context &ctx) {
    CsrMatrix &m = ctx.matrix;
    if (m.rows == std::numeric_limits<std::int32_t>::max())
        return BRISVEL_ERROR(QV_ERROR_DIMENSION);
    finish_row_entries(m, ctx.row_sorted);  // leaves the same row, so it needs no undoing
    std::size_t pushed = 0;
    try {
        for (; pushed < ctx.rhs.size(); ++pushed)
            ctx.rhs[pushed].push_back(ctx.row_rhs[pushed]);
        m.row_ptr.push_back(static_cast<std::int64_t>(m.col.size()));
    } catch (const std::bad_alloc &) {
        for (std::size_t k = 0; k < pushed; ++k)
            ctx.rhs[k].pop_back();
        return BRISVEL_ERROR(QV_ERROR_OUT_OF_MEMORY);
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
// first rows. When that much cannot be had, it grows from what is stored:
// doubling, and at the least by a quarter.
namespace {

bool grow_entries(Context &ctx, std::size_t extra) {
    CsrMatrix &m = ctx.matrix;
    const std::size_t entries = m.col.size();
    const std::size_t rows_done = static_cast<std::size_t>(m.rows);
    const std::size_t finished = static_cast<std::size_t>(m.row_ptr.back());
    const std::size_t expected_rows =
        std::max(static_cast<std::size_t>(ctx.params.variable_count), 2 * rows_done);
    const std::size_t least = std::max(entries + entries / 4 + 64, entries + extra);
    std::size_t estimate = 2 * entries;
    if (rows_done >= 8) {
        const double per_row = static_cast<double>(finished) / static_cast<double>(rows_done);
        const double wanted = per_row * 1.25 * static_cast<double>(expected_rows);
        estimate = wanted < static_cast<double>(m.col.max_size()) ? static_cast<std::size_t>(wanted)
                                                                  : m.col.max_size();
    }
    for (const std::size_t room : {estimate, 2 * entries, least}) {
        if (room < least)
            continue;
        try {
            m.col.reserve(room);
            m.val.reserve(room);
            return true;
        } catch (const std::bad_alloc &) {
            // try a smaller room
        } catch (const std::length_error &) {
            // likewise
        }
    }
    return m.col.capacity() - entries >= extra && m.val.capacity() - entries >= extra;
}

// True when every index names a variable and every value is finite, in one
// pass without branches. Each test folds its verdict into the top bit of an
// accumulator: an index u (as unsigned) is good when its top bit is clear and
// u - variables wraps below zero; a value is finite unless its exponent bits
// are all set, which adding one to the lowest of them carries into the top
// bit. (A plain loop beats a vectorised one on rows of 5 to 50 entries.)
bool good_entries(std::int32_t count, const std::int32_t *indices, const double *values,
                  std::uint32_t variables) {
    constexpr std::uint64_t exponent = 0x7ff0000000000000u, lowest = std::uint64_t{1} << 52;
    std::uint32_t bad_index = 0;
    std::uint64_t bad_value = 0;
    for (std::int32_t k = 0; k < count; ++k) {
        const std::uint32_t u = static_cast<std::uint32_t>(indices[k]);
        bad_index |= u | ~(u - variables);
        std::uint64_t bits;
        std::memcpy(&bits, values + k, sizeof bits);
        bad_value |= (bits & exponent) + lowest;
    }
    return ((bad_index >> 31) | (bad_value >> 63)) == 0;
}

// True when the indices (all valid) ascend strictly.
bool ascending(std::int32_t count, const std::int32_t *indices) {
    std::int32_t not_up = 0;
    for (std::int32_t k = 1; k < count; ++k)
        not_up |= indices[k] - indices[k - 1] - 1;  // negative unless the step is at least 1
    return not_up >= 0;
}

// The error a bad entry gives, checked in the order qvCoefficient checks.
int entry_error(std::int32_t index, double value, std::uint32_t variables) {
    if (static_cast<std::uint32_t>(index) >= variables)
        return BRISVEL_ERROR(QV_ERROR_INVALID_INDEX);
    return value - value == 0.0 ? QV_OK : QV_ERROR_NOT_FINITE;
}

}  // namespace

int add_coefficient_with_room(Context &ctx, std::int32_t index, double value) {
    if (!grow_entries(ctx, 1))
        return BRISVEL_ERROR(QV_ERROR_OUT_OF_MEMORY);
    ctx.matrix.col.push_back(index);
    ctx.matrix.val.push_back(value);
    return QV_OK;
}

int add_coefficients(Context &ctx, std::int32_t count, const std::int32_t *indices,
                     const double *values) {
    if (count < 0 || (count > 0 && (indices == nullptr || values == nullptr)))
        return BRISVEL_ERROR(QV_ERROR_INVALID_VALUE);
    // One pass over the whole row first; the faulty entry is looked for only
    // when there is one.
    const std::uint32_t variables = static_cast<std::uint32_t>(ctx.params.variable_count);
    if (!good_entries(count, indices, values, variables)) {
        for (std::int32_t k = 0; k < count; ++k)
            if (const int code = entry_error(indices[k], values[k], variables))
                return code;
    }
    if (count == 0)
        return QV_OK;
    if (ctx.block != Block::Row)
        return BRISVEL_ERROR(QV_ERROR_BLOCK_ORDER);
    CsrMatrix &m = ctx.matrix;
    const std::size_t n = static_cast<std::size_t>(count);
    if ((m.col.capacity() - m.col.size() < n || m.val.capacity() - m.val.size() < n) &&
        !grow_entries(ctx, n))
        return BRISVEL_ERROR(QV_ERROR_OUT_OF_MEMORY);
    // When the row so far and these entries are in order, end_row need not look again.
    const std::size_t before = m.col.size();
    if (ctx.row_sorted == before && ascending(count, indices) &&
        (before == static_cast<std::size_t>(m.row_ptr.back()) || m.col[before - 1] < indices[0]))
        ctx.row_sorted = before + n;
    m.col.insert(m.col.end(), indices, indices + n);  // both have room: neither throws
    m.val.insert(m.val.end(), values, values + n);
    return QV_OK;
}

int set_row_rhs(Context &ctx, std::int32_t count, const double *values) {
    if (count != ctx.params.system_count || values == nullptr)
        return BRISVEL_ERROR(QV_ERROR_INVALID_VALUE);
    for (std::int32_t k = 0; k < count; ++k)
        if (!std::isfinite(values[k]))
            return BRISVEL_ERROR(QV_ERROR_NOT_FINITE);
    if (ctx.block != Block::Row)
        return BRISVEL_ERROR(QV_ERROR_BLOCK_ORDER);
    std::copy(values, values + count, ctx.row_rhs.begin());
    return QV_OK;
}

namespace {

// The error of compressed rows, checked in the documented order: QV_OK when
// they may be taken as they are; sorted then tells whether every row's
// columns ascend strictly already.
int compressed_rows_error(const Context &ctx, std::int32_t rows, const std::int64_t *starts,
                          const std::int32_t *columns, const double *values, const double *rhs,
                          bool &sorted) {
    if (rows < 0 || starts == nullptr || starts[0] != 0)
        return BRISVEL_ERROR(QV_ERROR_INVALID_VALUE);
    const auto n = static_cast<std::size_t>(rows);
    std::int64_t falls = 0;
    for (std::size_t i = 0; i < n; ++i)
        falls |= starts[i + 1] - starts[i];  // negative when a start falls
    if (falls < 0)
        return BRISVEL_ERROR(QV_ERROR_INVALID_VALUE);
    const std::int64_t entries = starts[n];
    if (entries > 0 && (columns == nullptr || values == nullptr))
        return BRISVEL_ERROR(QV_ERROR_INVALID_VALUE);
    // Checked in pieces that fit an int count; the faulty entry is looked
    // for only when there is one.
    const std::uint32_t variables = static_cast<std::uint32_t>(ctx.params.variable_count);
    constexpr std::int64_t piece = std::int64_t{1} << 30;
    for (std::int64_t first = 0; first < entries; first += piece) {
        const auto count = static_cast<std::int32_t>(std::min(piece, entries - first));
        if (!good_entries(count, columns + first, values + first, variables)) {
            for (std::int32_t k = 0; k < count; ++k)
                if (static_cast<std::uint32_t>(columns[first + k]) >= variables)
                    return BRISVEL_ERROR(QV_ERROR_INVALID_INDEX);
            return BRISVEL_ERROR(QV_ERROR_NOT_FINITE);
        }
    }
    if (rhs != nullptr && !all_finite(n * static_cast<std::size_t>(ctx.params.system_count), rhs))
        return BRISVEL_ERROR(QV_ERROR_NOT_FINITE);
    if (ctx.block != Block::System)
        return BRISVEL_ERROR(QV_ERROR_BLOCK_ORDER);
    // Every row ascends when the only steps down or level in the columns
    // as a whole are those into the first entry of a row (each counted once:
    // at the row that holds it).
    std::int64_t flat = 0, between = 0;
    for (std::int64_t k = 1; k < entries; ++k)
        flat += columns[k] <= columns[k - 1];
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t k = starts[i];
        between += k > 0 && starts[i + 1] > k && columns[k] <= columns[k - 1];
    }
    sorted = flat == between;
    return QV_OK;
}

// Sorts the entries of each row that needs it by column and adds up its
// repeated columns, moving the rows after it down over the gap.
void finish_rows(CsrMatrix &m) {
    std::size_t out = 0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(m.rows); ++i) {
        const auto first = static_cast<std::size_t>(m.row_ptr[i]);
        const auto last = static_cast<std::size_t>(m.row_ptr[i + 1]);
        m.row_ptr[i] = static_cast<std::int64_t>(out);
        std::size_t sorted = first + 1;
        while (sorted < last && m.col[sorted - 1] < m.col[sorted])
            ++sorted;
        if (sorted >= last) {  // ascending and unique already, as rows usually come
            if (out != first) {
                std::copy(m.col.begin() + static_cast<std::ptrdiff_t>(first),
                          m.col.begin() + static_cast<std::ptrdiff_t>(last),
                          m.col.begin() + static_cast<std::ptrdiff_t>(out));
                std::copy(m.val.begin() + static_cast<std::ptrdiff_t>(first),
                          m.val.begin() + static_cast<std::ptrdiff_t>(last),
                          m.val.begin() + static_cast<std::ptrdiff_t>(out));
            }
            out += last - first;
            continue;
        }
        sort_entries(m, first, sorted, last);
        for (std::size_t k = first; k < last; ++k) {
            if (out > static_cast<std::size_t>(m.row_ptr[i]) && m.col[out - 1] == m.col[k]) {
                m.val[out - 1] += m.val[k];  // repeated coefficients add up
            } else {
                m.col[out] = m.col[k];
                m.val[out] = m.val[k];
                ++out;
            }
        }
    }
    m.row_ptr[static_cast<std::size_t>(m.rows)] = static_cast<std::int64_t>(out);
    m.col.resize(out);
    m.val.resize(out);
}

}  // namespace

int set_compressed_rows(Context &ctx, std::int32_t rows, const std::int64_t *starts,
                        const std::int32_t *columns, const double *values, const double *rhs) {
    bool sorted = false;
    if (const int code = compressed_rows_error(ctx, rows, starts, columns, values, rhs, sorted))
        return code;
    const auto n = static_cast<std::size_t>(rows);
    const auto entries = static_cast<std::size_t>(starts[n]);
    CsrMatrix &m = ctx.matrix;
    try {  // room first: a reserve that fails changes nothing, and then nothing throws
        m.row_ptr.reserve(n + 1);
        m.col.reserve(entries);
        m.val.reserve(entries);
        for (Vector &b : ctx.rhs)
            b.reserve(n);
    } catch (const std::bad_alloc &) {
        return BRISVEL_ERROR(QV_ERROR_OUT_OF_MEMORY);
    } catch (const std::length_error &) {
        return BRISVEL_ERROR(QV_ERROR_OUT_OF_MEMORY);
    }
    m.rows = rows;
    m.cols = ctx.params.variable_count;
    m.row_ptr.assign(starts, starts + n + 1);
    m.col.assign(columns, columns + entries);
    m.val.assign(values, values + entries);
    for (std::size_t k = 0; k < ctx.rhs.size(); ++k) {
        if (rhs != nullptr)
            ctx.rhs[k].assign(rhs + k * n, rhs + (k + 1) * n);
        else
            ctx.rhs[k].assign(n, 0.0);
    }
    if (!sorted)
        finish_rows(m);
    return QV_OK;
}

void discard_system(Context &ctx) {
    ctx.matrix = CsrMatrix{};
    ctx.matrix.cols = ctx.params.variable_count;
    for (Vector &rhs : ctx.rhs)
        Vector().swap(rhs);
    ctx.system_ready = false;
    ++ctx.assembly;
    ctx.setup = Setup();
}

int set_variable_count(Context &ctx, std::int32_t count) {
    if (count <= 0 || count > QV_MAX_VARIABLES)
        return BRISVEL_ERROR(QV_ERROR_INVALID_VALUE);
    try {
        std::vector<Vector> values(ctx.values);
        std::vector<unsigned char> locked(ctx.locked);
        for (Vector &v : values)
            v.resize(static_cast<std::size_t>(count), 0.0);
        locked.resize(static_cast<std::size_t>(count), 0);
        ctx.values.swap(values);
        ctx.locked.swap(locked);
    } catch (const std::bad_alloc &) {
        return BRISVEL_ERROR(QV_ERROR_OUT_OF_MEMORY);
    }
    ctx.params.variable_count = count;
    ctx.workspace.release();  // sized for the old system
    discard_system(ctx);
    return QV_OK;
}

int set_system_count(Context &ctx, std::int32_t count) {
    if (count < 1 || count > QV_MAX_SYSTEMS)
        return BRISVEL_ERROR(QV_ERROR_INVALID_VALUE);
    const auto k = static_cast<std::size_t>(count);
    const auto rows = ctx.rhs[0].size();  // every block is closed: each system has them all
    try {
        std::vector<Vector> values(ctx.values);
        values.resize(k, Vector(static_cast<std::size_t>(ctx.params.variable_count), 0.0));
        std::vector<Vector> rhs(ctx.rhs);
        rhs.resize(k, Vector(rows, 0.0));
        ctx.values.swap(values);
        ctx.rhs.swap(rhs);
        ctx.row_rhs.assign(k, 0.0);
    } catch (const std::bad_alloc &) {
        return BRISVEL_ERROR(QV_ERROR_OUT_OF_MEMORY);
    }
    ctx.params.system_count = count;
    if (ctx.params.system >= count)
        ctx.params.system = 0;
    return QV_OK;
}

int begin_block(Context &ctx, std::int32_t block) {
    switch (block) {
    case QV_BLOCK_SYSTEM:
        return ctx.block == Block::None ? begin_system(ctx) : BRISVEL_ERROR(QV_ERROR_BLOCK_ORDER);
    case QV_BLOCK_MATRIX:
        if (ctx.block != Block::System)
            return BRISVEL_ERROR(QV_ERROR_BLOCK_ORDER);
        clear_rows(ctx);  // a matrix block gives the whole matrix
        reserve_rows(ctx);
        ctx.block = Block::Matrix;
        return QV_OK;
    case QV_BLOCK_ROW:
        if (ctx.block != Block::Matrix)
            return BRISVEL_ERROR(QV_ERROR_BLOCK_ORDER);
        std::fill(ctx.row_rhs.begin(), ctx.row_rhs.end(), 0.0);
        ctx.row_sorted = ctx.matrix.col.size();
        ctx.block = Block::Row;
        return QV_OK;
    default:
        return BRISVEL_ERROR(QV_ERROR_INVALID_CODE);
    }
}

int end_block(Context &ctx, std::int32_t block) {
    switch (block) {
    case QV_BLOCK_SYSTEM:
        if (ctx.block != Block::System)
            return BRISVEL_ERROR(QV_ERROR_BLOCK_ORDER);
        ctx.block = Block::None;
        ctx.system_ready = true;
        return QV_OK;
    case QV_BLOCK_MATRIX:
        if (ctx.block != Block::Matrix)
            return BRISVEL_ERROR(QV_ERROR_BLOCK_ORDER);
        release_unused_rows(ctx);
        ctx.block = Block::System;
        return QV_OK;
    case QV_BLOCK_ROW:
        return ctx.block == Block::Row ? end_row(ctx) : BRISVEL_ERROR(QV_ERROR_BLOCK_ORDER);
    default:
        return BRISVEL_ERROR(QV_ERROR_INVALID_CODE);
    }
}

int lock_variable(Context &ctx, std::int32_t index) {
    if (ctx.block != Block::System)
        return BRISVEL_ERROR(QV_ERROR_BLOCK_ORDER);
    ctx.locked[static_cast<std::size_t>(index)] = 1;
    return QV_OK;
}

}  // namespace brisvel
