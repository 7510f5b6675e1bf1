// libFuzzer target for brisvel-solve's Matrix Market reader: any bytes are
// either refused with a line and a message, or give entries within the matrix.
#include "matrix_market.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    mm::Matrix m;
    mm::Error e;
    if (!mm::parse(reinterpret_cast<const char *>(data), size, m, e)) {
        if (e.line < 1 || e.message.empty())
            std::abort();
        return 0;
    }
    if (m.rows < 1 || m.cols < 1 || m.row.size() != m.val.size() || m.col.size() != m.val.size())
        std::abort();
    for (std::size_t k = 0; k < m.val.size(); ++k)
        if (m.row[k] < 0 || m.row[k] >= m.rows || m.col[k] < 0 || m.col[k] >= m.cols)
            std::abort();
    if (m.cols == 1 && m.rows <= (1 << 20)) {
        std::vector<double> v;
        if (!mm::to_vector(m, m.rows, v).empty())
            std::abort();
    }
    return 0;
}
