// Native collector of the cells processLog would write into a fresh workbook,
// and the writer that turns them into the same .xlsx file the library saves.
#pragma once

#include "corvantis.hpp"

#include <algorithm>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>

namespace corvantis {

// Thrown when the collected cells would not reproduce the library's workbook
// exactly (a value the library rejects or changes, a coordinate out of its
// range). The driver then starts again on the cell API.
struct NotCollectable {};

enum class Fill : std::uint8_t { none = 0, green = 1, red = 2, yellow = 3 };

// A fill's colour as PatternFill takes it ("" for none).
constexpr const char *colour_text(Fill f) {
    switch (f) {
    case Fill::green: return "00EE00";
    case Fill::red: return "DC143C";
    case Fill::yellow: return "FFFF00";
    default: return "";
    }
}

// What spreadsheet programs hold (within the library's own limits); a larger
// sheet loses cells when opened.
inline constexpr std::int64_t sheet_columns = 16384;
inline constexpr std::int64_t sheet_rows = 1048576;

class ZipWriter;

class CellGrid {
public:
    CellGrid();

    // Interned cell texts: equal texts share one id; a text longer than the
    // library keeps is cut as it cuts it. Throws NotCollectable for a text the
    // library would refuse.
    std::uint32_t intern(std::string_view utf8);
    std::uint32_t intern(py::handle text);  // exact str
    std::uint32_t id_P() const { return id_P_; }
    std::uint32_t id_dot() const { return id_dot_; }

    // ws.cell(row=, column=, value=text)
    void set(std::int64_t row, std::int64_t col, std::uint32_t text);
    // ws.cell(row=, column=).fill = PatternFill(colour); the cell exists.
    void fill(std::int64_t row, std::int64_t col, Fill colour);
    // The summary merge: an empty cell (or one whose text reads "None") takes
    // the token; otherwise the token is appended and a cell holding both "P"
    // and "." turns yellow.
    void merge(std::int64_t row, std::int64_t col, std::uint32_t token);

    // Saves the workbook to `path` (nothing else is written there).
    void save(py::handle path) const;

    // The last row and column the collected cells reach, also counting cells
    // beyond what spreadsheet programs hold (those are not kept: the driver
    // refuses such a run).
    std::int64_t last_row() const { return std::max(max_row_, beyond_row_); }
    std::int64_t last_column() const { return std::max(max_col_, beyond_col_); }

private:
    // Text id of a cell that was reached but never given a text: no
    // interned text has it, so it cannot pass for data.
    static constexpr std::uint32_t no_text = 0xFFFFFFFFu;
    // Eight bytes: a large run holds tens of millions of cells.
    struct Cell {
        std::uint32_t text;
        std::uint16_t col;  // up to the library's last column, 18,278
        Fill fill;
    };
    struct Text {
        std::string utf8;
        bool preserve;  // the library marks it xml:space="preserve"
    };
    const Text &text_of(const Cell &cell) const;
    using Row = std::vector<Cell>;

    void write_sheet(std::string_view template_xml, const std::vector<int> &xf_of, ZipWriter &archive) const;
    Cell *find(std::int64_t row, std::int64_t col);
    Cell &slot(std::int64_t row, std::int64_t col);

    std::deque<Text> texts_;
    std::unordered_map<std::string_view, std::uint32_t> ids_;
    struct Joined {
        std::uint32_t id;
        bool yellow;  // the joined text holds both "P" and "."
    };
    std::unordered_map<std::uint64_t, Joined> joined_;  // (old text, token) -> merged text
    std::vector<Row> rows_;  // index = row number
    std::vector<Fill> fill_order_;  // colours in order of first use
    std::uint32_t id_P_, id_dot_, id_None_;
    std::int64_t min_row_ = 0, max_row_ = 0, min_col_ = 0, max_col_ = 0;
    std::int64_t beyond_row_ = 0, beyond_col_ = 0;
    Cell scratch_{};  // stands in for a cell beyond the sheet's limits
};

}  // namespace corvantis
