// The Matrix Market reader on the format's corner cases, its refusals, and
// the writer's round trip.
#include "matrix_market.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <limits>
#include <string>
#include <vector>

namespace {

// The matrix as a dense row-major array, repeated entries added up.
std::vector<double> dense(const mm::Matrix &m) {
    std::vector<double> d(static_cast<std::size_t>(m.rows) * static_cast<std::size_t>(m.cols));
    for (std::size_t k = 0; k < m.val.size(); ++k)
        d[static_cast<std::size_t>(m.row[k]) * static_cast<std::size_t>(m.cols) +
          static_cast<std::size_t>(m.col[k])] += m.val[k];
    return d;
}

struct Good {
    const char *name;
    std::string text;
    int rows, cols;
    std::vector<double> dense;  // row-major
};

TEST(MatrixMarketReader, ReadsEveryFormFieldAndSymmetry) {
    const Good cases[] = {
        {"coordinate general, comments, blank lines, CR LF, signs and exponents",
         "%%MatrixMarket matrix coordinate real general\r\n% a comment\r\n\r\n2 3 4\r\n"
         "1 1 +1.5\r\n  2 3 -2e1 \r\n% between entries\r\n1 3 .25\r\n1 1 1\r\n",
         2,
         3,
         {2.5, 0, 0.25, 0, 0, -20}},
        {"integer symmetric, upper entries mirrored too",
         "%%MatrixMarket matrix coordinate integer symmetric\n3 3 3\n1 1 2\n3 1 -7\n2 3 5\n",
         3,
         3,
         {2, 0, -7, 0, 0, 5, -7, 5, 0}},
        {"pattern symmetric",
         "%%MatrixMarket matrix coordinate pattern symmetric\n2 2 2\n1 1\n2 1\n",
         2,
         2,
         {1, 1, 1, 0}},
        {"skew-symmetric",
         "%%MatrixMarket matrix coordinate real skew-symmetric\n2 2 1\n2 1 3\n",
         2,
         2,
         {0, -3, 3, 0}},
        {"hermitian real is symmetric",
         "%%MatrixMarket matrix coordinate real hermitian\n2 2 1\n2 1 4\n",
         2,
         2,
         {0, 4, 4, 0}},
        {"banner in any case, no entries",
         "%%matrixmarket MATRIX Coordinate Real General\n2 2 0\n",
         2,
         2,
         {0, 0, 0, 0}},
        {"array general, column by column, values shared between lines",
         "%%MatrixMarket matrix array real general\n2 3\n1\n2\n3 4\n5\n6\n",
         2,
         3,
         {1, 3, 5, 2, 4, 6}},
        {"array symmetric: lower triangle with the diagonal",
         "%%MatrixMarket matrix array real symmetric\n2 2\n1\n2\n3\n",
         2,
         2,
         {1, 2, 2, 3}},
        {"array skew-symmetric: strictly lower triangle",
         "%%MatrixMarket matrix array integer skew-symmetric\n3 3\n1\n2\n3\n",
         3,
         3,
         {0, -1, -2, 1, 0, -3, 2, 3, 0}},
        {"no newline at the end",
         "%%MatrixMarket matrix coordinate real general\n1 1 1\n1 1 9",
         1,
         1,
         {9}},
    };
    for (const Good &c : cases) {
        SCOPED_TRACE(c.name);
        mm::Matrix m;
        mm::Error e;
        ASSERT_TRUE(mm::parse(c.text.data(), c.text.size(), m, e))
            << "line " << e.line << ": " << e.message;
        EXPECT_EQ(m.rows, c.rows);
        EXPECT_EQ(m.cols, c.cols);
        EXPECT_EQ(dense(m), c.dense);
    }
}

struct Bad {
    std::string text;
    long line;
    const char *message;  // a part of the message
};

TEST(MatrixMarketReader, NamesTheLineAndTheFault) {
    const std::string general = "%%MatrixMarket matrix coordinate real general\n";
    const Bad cases[] = {
        {"", 1, "empty"},
        {"%%MatrixMarket\n", 1, "only \"matrix\""},
        {"%MatrixMarket matrix coordinate real general\n1 1 0\n", 1, "first line"},
        {"%%MatrixMarket vector coordinate real general\n", 1, "object"},
        {"%%MatrixMarket matrix coordinate complex general\n", 1, "complex"},
        {"%%MatrixMarket matrix coordinate real diagonal\n", 1, "symmetry"},
        {"%%MatrixMarket matrix array pattern general\n", 1, "pattern"},
        {"%%MatrixMarket matrix coordinate real symmetric\n2 3 0\n", 2, "square"},
        {general, 2, "before the size line"},
        {general + "% c\n2 2\n", 3, "rows, columns and entries"},
        {general + "2 x 1\n", 2, "\"x\""},
        {general + "0 2 0\n", 2, "at least one row"},
        {general + "3000000000 1 0\n", 2, "too large"},
        {general + "2 2 5\n", 2, "entry count 5"},
        {general + "2 2 -1\n", 2, "entry count -1"},
        {general + "2 2 1 7\n", 2, "after the size line"},
        {general + "2 2 2\n1 1 1\n% c\n0 1 1\n", 5, "row index 0 is outside 1..2"},
        {general + "2 2 1\n1 3 1\n", 3, "column index 3"},
        {general + "2 2 1\n1 1.5 1\n", 3, "not a whole number"},
        {general + "2 2 1\n1 1\n", 3, "no value"},
        {general + "2 2 1\n1 1 inf\n", 3, "not a finite number"},
        {general + "2 2 1\n1 1 1e999\n", 3, "not a number"},
        {general + "2 2 1\n1 1 1x\n", 3, "not a number"},
        {general + "2 2 1\n1 1 1 2\n", 3, "unexpected text"},
        {general + "2 2 2\n1 1 1\n", 4, "ends after 1 of the 2"},
        {general + "2 2 1\n1 1 1\n2 2 1\n", 4, "more entries"},
        {"%%MatrixMarket matrix coordinate integer general\n1 1 1\n1 1 2.0\n", 3, "whole number"},
        {"%%MatrixMarket matrix coordinate real skew-symmetric\n2 2 1\n1 1 4\n", 3, "diagonal"},
        {"%%MatrixMarket matrix array real general\n2 1\n1\n", 4, "ends after 1 of the 2"},
        {"%%MatrixMarket matrix array real general\n1 1\n1 2\n", 3, "more values"},
        {"%%MatrixMarket matrix array real general\n1 1\n1\n2\n", 4, "more values"},
    };
    for (const Bad &c : cases) {
        SCOPED_TRACE(c.text);
        mm::Matrix m;
        mm::Error e;
        ASSERT_FALSE(mm::parse(c.text.data(), c.text.size(), m, e));
        EXPECT_EQ(e.line, c.line) << e.message;
        EXPECT_NE(e.message.find(c.message), std::string::npos) << e.message;
    }
}

// What the writer writes, the reader reads back to the same bits.
TEST(MatrixMarketWriter, RoundTripsEveryDouble) {
    const std::vector<double> x = {0.0,
                                   -0.0,
                                   1.0 / 3.0,
                                   -2.5e-300,
                                   std::numeric_limits<double>::denorm_min(),
                                   std::numeric_limits<double>::max(),
                                   -123456789.123456789};
    std::FILE *f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    ASSERT_TRUE(mm::write_vector(f, x.data(), x.size()));
    std::rewind(f);
    std::string text;
    for (int c; (c = std::fgetc(f)) != EOF;)
        text += static_cast<char>(c);
    std::fclose(f);
    mm::Matrix m;
    mm::Error e;
    ASSERT_TRUE(mm::parse(text.data(), text.size(), m, e)) << e.line << ": " << e.message;
    std::vector<double> back;
    ASSERT_EQ(mm::to_vector(m, static_cast<std::int32_t>(x.size()), back), "");
    EXPECT_EQ(back, x);
    EXPECT_NE(mm::to_vector(m, 3, back), "");  // the wrong length is refused
}

}  // namespace
