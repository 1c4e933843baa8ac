// The native shmoo CSV loader's reading plan: the file's bytes classified
// field by field and its records found, as the chunk-reader loop would find
// them, without touching Python objects (the scan runs without the
// interpreter lock). The loader (csv_native.cpp) turns a plan into tensors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

namespace tavrine::shmoo::csv {

struct Line {
    const char *begin;
    const char *end;  // line break excluded
};

// Lines of the buffer; "\r\n" ends a line like "\n".
class LineReader {
public:
    LineReader(const char *data, std::size_t size) : pos_(data), end_(data + size) {}
    bool next(Line &line) {
        if (pos_ >= end_) return false;
        const char *nl = static_cast<const char *>(std::memchr(pos_, '\n', static_cast<std::size_t>(end_ - pos_)));
        const char *stop = nl ? nl : end_;
        line.begin = pos_;
        line.end = (nl && stop > pos_ && stop[-1] == '\r') ? stop - 1 : stop;
        pos_ = nl ? nl + 1 : end_;
        return true;
    }

private:
    const char *pos_;
    const char *end_;
};

enum class Cell : std::uint8_t { Empty, One, Zero, Int, Dec, Word, Unknown };

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }
inline bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Words pandas reads as a missing value, a boolean or infinity (in any case,
// with any dashes), and words float() accepts.
bool special_word(std::string_view word);

inline Cell classify(std::string_view field) {
    if (field.empty()) return Cell::Empty;
    if (field.size() == 1) {
        switch (field[0]) {
            case 'P': case 'p': case '*': return Cell::One;
            case '.': case '#': return Cell::Zero;
            default: break;
        }
    }
    std::size_t digits = 0, dots = 0, letters = 0, dashes = 0;
    for (char c : field) {
        if (is_digit(c)) ++digits;
        else if (c == '.') ++dots;
        else if (is_letter(c)) ++letters;
        else if (c == '-') ++dashes;
        else return Cell::Unknown;
    }
    if (letters + dashes == field.size()) return special_word(field) ? Cell::Unknown : Cell::Word;
    if (letters || dashes || digits > 15) return Cell::Unknown;
    if (dots == 0) return Cell::Int;
    if (dots == 1 && is_digit(field.front()) && is_digit(field.back())) return Cell::Dec;
    return Cell::Unknown;
}

// Value of an Int or Dec field: at most 15 digits and one division by an exact
// power of ten, so it is the correctly rounded value both float() and pandas give.
inline double number_value(std::string_view field) {
    static constexpr double powers[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7,
                                        1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    std::uint64_t mantissa = 0;
    int fraction = -1;
    for (char c : field) {
        if (c == '.') {
            fraction = 0;
            continue;
        }
        mantissa = mantissa * 10 + static_cast<std::uint64_t>(c - '0');
        if (fraction >= 0) ++fraction;
    }
    const double value = static_cast<double>(mantissa);
    return fraction > 0 ? value / powers[fraction] : value;
}

// Calls `visit(column, field)` for each field of a line.
template <class Visit>
void for_each_field(const Line &line, Visit &&visit) {
    const char *start = line.begin;
    std::size_t column = 0;
    for (const char *p = line.begin;; ++p) {
        if (p == line.end || *p == ',') {
            visit(column++, std::string_view(start, static_cast<std::size_t>(p - start)));
            if (p == line.end) break;
            start = p + 1;
        }
    }
}

// --- the reading plan ---------------------------------------------------------

// How reading ends, as the chunk-reader loop would see it.
enum class End {
    NoLabel,      // get_chunk(1) past the last line: StopIteration
    LabelNotText, // the label read as a number or a missing value: AttributeError
    NoPlot,       // get_chunk(11) past the last line: StopIteration
    BadPlot,      // a field float() refuses, or a block that cannot be stacked: ValueError
};

struct Record {
    const char *plot;  // first plot line
    std::uint32_t wrong_keys;
    std::uint8_t rows;
    std::uint8_t label_bits;
    std::string_view label;
};

struct Plan {
    const char *data_end = nullptr;
    std::size_t width = 0;
    std::vector<Record> stored;
    End end = End::NoLabel;
    Record last{};  // the record that ended reading (label and wrong keys set when reached)
    bool last_has_block = false;
};

enum class Mode { Training, Test };

// Scans the whole file. Empty result: the file is not one the native loader
// reads with certainty.
std::optional<Plan> plan_reading(const char *data, std::size_t size, Mode mode);

}  // namespace tavrine::shmoo::csv
