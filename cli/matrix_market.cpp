// The Matrix Market reader and writer: a line-by-line parser that names the
// line and the fault of anything it refuses.
#include "matrix_market.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>

namespace mm {
namespace {

enum class Field { Real, Integer, Pattern };
enum class Symmetry { General, Symmetric, Skew };

// A cursor over the text that knows its line number.
struct Text {
    const char *p;
    const char *end;
    long line = 0;  // of the current line, once next_line has found one
    const char *line_end = nullptr;

    // Moves to the next line holding something other than blanks or a
    // comment; false at the end of the text.
    bool next_line() {
        while (p < end) {
            const char *nl =
                static_cast<const char *>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
            line_end = nl != nullptr ? nl : end;
            ++line;
            const char *q = p;
            while (q < line_end && (*q == ' ' || *q == '\t' || *q == '\r'))
                ++q;
            if (q < line_end && *q != '%') {
                p = q;
                return true;
            }
            p = line_end < end ? line_end + 1 : end;
        }
        return false;
    }
    // The next token of the current line; empty at its end.
    std::string_view token() {
        while (p < line_end && (*p == ' ' || *p == '\t' || *p == '\r'))
            ++p;
        const char *start = p;
        while (p < line_end && *p != ' ' && *p != '\t' && *p != '\r')
            ++p;
        return {start, static_cast<std::size_t>(p - start)};
    }
    // Past the current line.
    void finish_line() { p = line_end < end ? line_end + 1 : end; }
};

std::string quoted(std::string_view s) {
    const std::size_t shown = std::min<std::size_t>(s.size(), 40);
    std::string out = "\"";
    for (std::size_t k = 0; k < shown; ++k) {
        const unsigned char c = static_cast<unsigned char>(s[k]);
        out += c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?';
    }
    return out + (shown < s.size() ? "...\"" : "\"");
}

bool same_word(std::string_view a, const char *b) {
    std::size_t k = 0;
    for (; k < a.size() && b[k] != '\0'; ++k) {
        const char c = a[k] >= 'A' && a[k] <= 'Z' ? static_cast<char>(a[k] - 'A' + 'a') : a[k];
        if (c != b[k])
            return false;
    }
    return k == a.size() && b[k] == '\0';
}

bool parse_integer(std::string_view s, std::int64_t &value) {
    if (!s.empty() && s[0] == '+')
        s.remove_prefix(1);
    const auto [rest, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    return ec == std::errc() && rest == s.data() + s.size() && !s.empty();
}

bool parse_real(std::string_view s, double &value) {
    if (s.size() > 1 && s[0] == '+' && s[1] != '-' && s[1] != '+')
        s.remove_prefix(1);
    const auto [rest, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    return ec == std::errc() && rest == s.data() + s.size() && !s.empty();
}

class Parser {
  public:
    Parser(const char *text, std::size_t size, Matrix &out, Error &error)
        : t_{text, text + size}, out_(out), error_(error) {}

    bool run() {
        if (!header() || !size_line())
            return false;
        return array_ ? array_entries() : coordinate_entries();
    }

  private:
    bool fail(const std::string &message) {
        error_.line = t_.line;
        error_.message = message;
        return false;
    }

    bool header() {
        t_.line = 1;
        if (t_.p == t_.end)
            return fail("the file is empty");
        const char *nl = static_cast<const char *>(
            std::memchr(t_.p, '\n', static_cast<std::size_t>(t_.end - t_.p)));
        t_.line_end = nl != nullptr ? nl : t_.end;
        const std::string_view banner = t_.token();
        if (!same_word(banner, "%%matrixmarket"))
            return fail("not a Matrix Market file: the first line must begin with %%MatrixMarket");
        const std::string_view object = t_.token(), format = t_.token(), field = t_.token(),
                               symmetry = t_.token();
        if (!same_word(object, "matrix"))
            return fail("the object is " + quoted(object) + "; only \"matrix\" is read");
        if (same_word(format, "coordinate"))
            array_ = false;
        else if (same_word(format, "array"))
            array_ = true;
        else
            return fail("the format is " + quoted(format) + ", not coordinate or array");
        if (same_word(field, "real") || same_word(field, "double"))
            field_ = Field::Real;
        else if (same_word(field, "integer"))
            field_ = Field::Integer;
        else if (same_word(field, "pattern"))
            field_ = Field::Pattern;
        else if (same_word(field, "complex"))
            return fail("complex matrices are not supported");
        else
            return fail("the field is " + quoted(field) + ", not real, integer or pattern");
        if (same_word(symmetry, "general"))
            symmetry_ = Symmetry::General;
        else if (same_word(symmetry, "symmetric") || same_word(symmetry, "hermitian"))
            symmetry_ = Symmetry::Symmetric;  // a real Hermitian matrix is symmetric
        else if (same_word(symmetry, "skew-symmetric"))
            symmetry_ = Symmetry::Skew;
        else
            return fail("the symmetry is " + quoted(symmetry) +
                        ", not general, symmetric or skew-symmetric");
        if (!t_.token().empty())
            return fail("unexpected text after the symmetry");
        if (field_ == Field::Pattern && (array_ || symmetry_ == Symmetry::Skew))
            return fail(array_ ? "an array cannot be a pattern"
                               : "a pattern cannot be skew-symmetric");
        t_.finish_line();
        return true;
    }

    bool size_line() {
        if (!t_.next_line()) {
            ++t_.line;  // the end of the text
            return fail("the file ends before the size line");
        }
        std::int64_t numbers[3] = {0, 0, 0};
        const int wanted = array_ ? 2 : 3;
        for (int k = 0; k < wanted; ++k) {
            const std::string_view tok = t_.token();
            if (tok.empty())
                return fail(std::string("the size line needs ") +
                            (array_ ? "rows and columns" : "rows, columns and entries"));
            if (!parse_integer(tok, numbers[k]))
                return fail("the size line has " + quoted(tok) + " where a whole number belongs");
        }
        if (!t_.token().empty())
            return fail("unexpected text after the size line");
        const std::int64_t limit = std::numeric_limits<std::int32_t>::max();
        if (numbers[0] < 1 || numbers[1] < 1)
            return fail("the matrix must have at least one row and one column");
        if (numbers[0] > limit || numbers[1] > limit)
            return fail("the matrix is too large: at most 2147483647 rows and columns");
        out_.rows = static_cast<std::int32_t>(numbers[0]);
        out_.cols = static_cast<std::int32_t>(numbers[1]);
        if (symmetry_ != Symmetry::General && out_.rows != out_.cols)
            return fail("a symmetric or skew-symmetric matrix must be square");
        const std::uint64_t places =
            static_cast<std::uint64_t>(numbers[0]) * static_cast<std::uint64_t>(numbers[1]);
        if (array_) {
            const std::uint64_t n = static_cast<std::uint64_t>(numbers[0]);
            expected_ = symmetry_ == Symmetry::General     ? places
                        : symmetry_ == Symmetry::Symmetric ? n * (n + 1) / 2
                                                           : n * (n - 1) / 2;
        } else {
            if (numbers[2] < 0 || static_cast<std::uint64_t>(numbers[2]) > places)
                return fail("the entry count " + std::to_string(numbers[2]) +
                            " is not between 0 and rows times columns");
            expected_ = static_cast<std::uint64_t>(numbers[2]);
        }
        // Room for the entries the rest of the text can hold at most, at
        // four characters a line, not for what the size line promises.
        const std::uint64_t fit = static_cast<std::uint64_t>(t_.end - t_.p) / 4 + 1;
        const std::size_t room = static_cast<std::size_t>(std::min(expected_, fit) *
                                                          (symmetry_ == Symmetry::General ? 1 : 2));
        out_.row.reserve(room);
        out_.col.reserve(room);
        out_.val.reserve(room);
        t_.finish_line();
        return true;
    }

    bool value(std::string_view tok, double &v) {
        if (tok.empty())
            return fail("the entry has no value");
        if (field_ == Field::Integer) {
            std::int64_t i = 0;
            if (!parse_integer(tok, i))
                return fail(quoted(tok) + " is not a whole number, as an integer matrix needs");
            v = static_cast<double>(i);
            return true;
        }
        if (!parse_real(tok, v))
            return fail(quoted(tok) + " is not a number");
        if (!std::isfinite(v))
            return fail(quoted(tok) + " is not a finite number");
        return true;
    }

    bool index(std::string_view tok, std::int32_t bound, const char *what, std::int32_t &i) {
        std::int64_t n = 0;
        if (tok.empty())
            return fail(std::string("the entry has no ") + what + " index");
        if (!parse_integer(tok, n))
            return fail("the " + std::string(what) + " index " + quoted(tok) +
                        " is not a whole number");
        if (n < 1 || n > bound)
            return fail("the " + std::string(what) + " index " + std::to_string(n) +
                        " is outside 1.." + std::to_string(bound));
        i = static_cast<std::int32_t>(n - 1);
        return true;
    }

    // Adds an entry, and its mirror image for a symmetric or skew file.
    bool add(std::int32_t i, std::int32_t j, double v) {
        if (i == j && symmetry_ == Symmetry::Skew) {
            if (v != 0.0)
                return fail("a skew-symmetric matrix has no diagonal entries");
            return true;
        }
        push(i, j, v);
        if (i != j && symmetry_ != Symmetry::General)
            push(j, i, symmetry_ == Symmetry::Skew ? -v : v);
        return true;
    }

    void push(std::int32_t i, std::int32_t j, double v) {
        out_.row.push_back(i);
        out_.col.push_back(j);
        out_.val.push_back(v);
    }

    std::string count_text() const {
        return std::to_string(read_) + " of the " + std::to_string(expected_) + " entries";
    }

    bool coordinate_entries() {
        for (; read_ < expected_; ++read_) {
            if (!t_.next_line()) {
                ++t_.line;
                return fail("the file ends after " + count_text() + " the size line declares");
            }
            std::int32_t i = 0, j = 0;
            double v = 1.0;
            if (!index(t_.token(), out_.rows, "row", i) ||
                !index(t_.token(), out_.cols, "column", j))
                return false;
            if (field_ != Field::Pattern && !value(t_.token(), v))
                return false;
            if (!t_.token().empty())
                return fail("unexpected text after the entry");
            if (!add(i, j, v))
                return false;
            t_.finish_line();
        }
        if (t_.next_line())
            return fail("more entries than the " + std::to_string(expected_) +
                        " the size line declares");
        return true;
    }

    // Values column by column, of the lower triangle alone when symmetric
    // (without the diagonal when skew-symmetric); any number to a line.
    bool array_entries() {
        std::int32_t i = 0, j = 0;
        if (symmetry_ == Symmetry::Skew)
            i = 1;
        bool have_line = false;
        for (; read_ < expected_; ++read_) {
            std::string_view tok;
            while ((tok = have_line ? t_.token() : std::string_view()).empty()) {
                if (have_line)
                    t_.finish_line();
                if (!(have_line = t_.next_line())) {
                    ++t_.line;
                    return fail("the file ends after " + count_text() + " the size line declares");
                }
            }
            double v = 0.0;
            if (!value(tok, v))
                return false;
            if (v != 0.0 && !add(i, j, v))
                return false;
            if (++i == out_.rows) {
                ++j;
                i = symmetry_ == Symmetry::General     ? 0
                    : symmetry_ == Symmetry::Symmetric ? j
                                                       : j + 1;
            }
        }
        if ((have_line && !t_.token().empty()) || (t_.finish_line(), t_.next_line()))
            return fail("more values than the size line declares");
        return true;
    }

    Text t_;
    Matrix &out_;
    Error &error_;
    bool array_ = false;
    Field field_ = Field::Real;
    Symmetry symmetry_ = Symmetry::General;
    std::uint64_t expected_ = 0;
    std::uint64_t read_ = 0;
};

}  // namespace

bool parse(const char *text, std::size_t size, Matrix &out, Error &error) {
    out = Matrix{};
    error = Error{};
    return Parser(text, size, out, error).run();
}

std::string to_vector(const Matrix &m, std::int32_t length, std::vector<double> &out) {
    const bool column = m.cols == 1;
    if ((!column && m.rows != 1) || (column ? m.rows : m.cols) != length)
        return "is " + std::to_string(m.rows) + " x " + std::to_string(m.cols) + "; a vector of " +
               std::to_string(length) + " entries is needed";
    out.assign(static_cast<std::size_t>(length), 0.0);
    for (std::size_t k = 0; k < m.val.size(); ++k)
        out[static_cast<std::size_t>(column ? m.row[k] : m.col[k])] += m.val[k];
    return {};
}

bool write_vector(std::FILE *file, const double *x, std::size_t n) {
    bool ok = std::fprintf(file, "%%%%MatrixMarket matrix array real general\n%zu 1\n", n) > 0;
    for (std::size_t k = 0; k < n && ok; ++k)
        ok = std::fprintf(file, "%.17g\n", x[k]) > 0;
    return std::fflush(file) == 0 && ok;
}

}  // namespace mm
