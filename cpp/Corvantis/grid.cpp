// The collected worksheet and its .xlsx writer. Every part of the package
// except the worksheet comes from the library itself (a workbook holding the
// same fills, saved to memory); the worksheet's rows are written here in the
// library's own cell form, streamed into the archive.
#include "grid.hpp"

#include "archive.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace corvantis {
namespace {

// The library cuts longer texts to this many characters.
constexpr std::size_t max_text_chars = 32767;
constexpr std::size_t chunk_bytes = 1 << 20;

// Decodes the code point starting at s[i] (valid UTF-8 from Python).
char32_t decode_at(const std::string &s, std::size_t i, std::size_t *next) {
    const auto b = static_cast<unsigned char>(s[i]);
    int len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    char32_t cp = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
    for (int k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    *next = i + len;
    return cp;
}

bool is_space(char32_t cp) { return Py_UNICODE_ISSPACE(static_cast<Py_UCS4>(cp)); }

// `stripped = text.strip(); stripped and text != stripped`
bool needs_preserve(const std::string &s) {
    if (s.empty()) return false;
    bool any_space_edge = false, any_non_space = false;
    std::size_t i = 0, next = 0;
    bool first = true;
    char32_t last = 0;
    while (i < s.size()) {
        char32_t cp = decode_at(s, i, &next);
        if (first && is_space(cp)) any_space_edge = true;
        if (!is_space(cp)) any_non_space = true;
        first = false;
        last = cp;
        i = next;
    }
    if (is_space(last)) any_space_edge = true;
    return any_space_edge && any_non_space;
}

// The library refuses these control characters in cell text.
bool has_illegal_char(std::string_view s) {
    for (unsigned char c : s)
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return true;
    return false;
}

std::size_t code_points(std::string_view s) {
    std::size_t n = 0;
    for (unsigned char c : s) n += (c & 0xC0) != 0x80;
    return n;
}

// Bytes of the first `n` code points.
std::size_t prefix_bytes(std::string_view s, std::size_t n) {
    std::size_t i = 0;
    for (; i < s.size(); ++i)
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80 && n-- == 0) break;
    return i;
}

std::string column_letters(std::int64_t col) {
    std::string out;
    while (col > 0) {
        const auto rem = (col - 1) % 26;
        out.insert(out.begin(), static_cast<char>('A' + rem));
        col = (col - 1) / 26;
    }
    return out;
}

void append_escaped(std::string &out, const std::string &text) {
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        default: out += c;
        }
    }
}

}  // namespace

CellGrid::CellGrid() {
    id_P_ = intern(std::string_view("P"));
    id_dot_ = intern(std::string_view("."));
    id_None_ = intern(std::string_view("None"));
}

std::uint32_t CellGrid::intern(std::string_view utf8) {
    auto it = ids_.find(utf8);
    if (it != ids_.end()) return it->second;
    // The library keeps the first 32,767 characters of a longer text, and
    // checks only those; the cut text then stands for the whole one.
    if (utf8.size() > max_text_chars && code_points(utf8) > max_text_chars)
        return intern(utf8.substr(0, prefix_bytes(utf8, max_text_chars)));
    if (has_illegal_char(utf8)) throw NotCollectable{};
    texts_.push_back(Text{std::string(utf8), false});
    Text &t = texts_.back();
    t.preserve = needs_preserve(t.utf8);
    if (texts_.size() - 1 >= no_text) throw NotCollectable{};  // ids must stay clear of the sentinel
    const auto id = static_cast<std::uint32_t>(texts_.size() - 1);
    ids_.emplace(std::string_view(t.utf8), id);
    return id;
}

std::uint32_t CellGrid::intern(py::handle text) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data) qv::throw_python_error();
    return intern(std::string_view(data, static_cast<std::size_t>(size)));
}

CellGrid::Cell *CellGrid::find(std::int64_t row, std::int64_t col) {
    if (row < 1 || row >= static_cast<std::int64_t>(rows_.size())) return nullptr;
    Row &r = rows_[static_cast<std::size_t>(row)];
    auto it = std::lower_bound(r.begin(), r.end(), col,
                               [](const Cell &c, std::int64_t v) { return static_cast<std::int64_t>(c.col) < v; });
    return (it != r.end() && it->col == col) ? &*it : nullptr;
}

CellGrid::Cell &CellGrid::slot(std::int64_t row, std::int64_t col) {
    // Coordinates the library would refuse or could not name are left to it.
    if (row < 1 || col < 1) throw NotCollectable{};
    if (row > sheet_rows || col > sheet_columns) {
        beyond_row_ = std::max(beyond_row_, row);
        beyond_col_ = std::max(beyond_col_, col);
        scratch_ = Cell{static_cast<std::uint32_t>(col), 0, Fill::none};
        return scratch_;
    }
    if (row >= static_cast<std::int64_t>(rows_.size())) rows_.resize(static_cast<std::size_t>(row) + 1);
    if (min_row_ == 0 || row < min_row_) min_row_ = row;
    max_row_ = std::max(max_row_, row);
    if (min_col_ == 0 || col < min_col_) min_col_ = col;
    max_col_ = std::max(max_col_, col);
    Row &r = rows_[static_cast<std::size_t>(row)];
    static_assert(sheet_columns <= UINT16_MAX, "a column number fits a cell's field");
    const auto c16 = static_cast<std::uint16_t>(col);
    if (r.empty() || r.back().col < c16) {
        r.push_back(Cell{no_text, c16, Fill::none});
        return r.back();
    }
    auto it = std::lower_bound(r.begin(), r.end(), c16, [](const Cell &c, std::uint16_t v) { return c.col < v; });
    if (it == r.end() || it->col != c16) it = r.insert(it, Cell{no_text, c16, Fill::none});
    return *it;
}

const CellGrid::Text &CellGrid::text_of(const Cell &cell) const {
    // Every cell the scan reaches is given its text before anything reads
    // it; one without would be a fault of ours, never a blank or a "P".
    if (cell.text == no_text || cell.text >= texts_.size())
        throw std::logic_error("internal error: a collected cell has no text");
    return texts_[cell.text];
}

void CellGrid::set(std::int64_t row, std::int64_t col, std::uint32_t text) {
    slot(row, col).text = text;
}

void CellGrid::fill(std::int64_t row, std::int64_t col, Fill colour) {
    slot(row, col).fill = colour;
    if (std::find(fill_order_.begin(), fill_order_.end(), colour) == fill_order_.end())
        fill_order_.push_back(colour);
}

void CellGrid::merge(std::int64_t row, std::int64_t col, std::uint32_t token) {
    Cell *cell = find(row, col);
    if (!cell || cell->text == id_None_) {
        set(row, col, token);
        return;
    }
    // The same few texts meet over and over in the summary block.
    const std::uint64_t key = (std::uint64_t(cell->text) << 32) | token;
    auto known = joined_.find(key);
    if (known == joined_.end()) {
        std::string joined = text_of(*cell).utf8;
        joined += texts_[token].utf8;
        const bool both = joined.find('P') != std::string::npos && joined.find('.') != std::string::npos;
        known = joined_.emplace(key, Joined{intern(joined), both}).first;
    }
    const Joined j = known->second;
    cell->text = j.id;
    if (j.yellow) fill(row, col, Fill::yellow);
}

void CellGrid::save(py::handle path) const {
    const State &s = state();
    py::module_ zipfile = py::module_::import("zipfile");
    py::module_ io = py::module_::import("io");

    // The library's own workbook with the same fills gives every part but the
    // worksheet: styles, theme, properties, relations. The library numbers
    // fills in the order they were first assigned, and cell formats in the
    // order the saved cells first use them (row by row), so both orders are
    // rebuilt on a few scratch cells.
    std::vector<Fill> xf_order;
    for (const Row &row : rows_)
        for (const Cell &cell : row)
            if (cell.fill != Fill::none && std::find(xf_order.begin(), xf_order.end(), cell.fill) == xf_order.end())
                xf_order.push_back(cell.fill);
    py::object wb = s.workbook_class();
    py::object cell = wb[py::str("Sheet")].attr("cell");
    auto pattern = [&](Fill f) {
        if (f == Fill::none) return s.pattern_fill();
        py::str colour(colour_text(f));
        return s.pattern_fill(py::arg("start_color") = colour, py::arg("end_color") = colour,
                              py::arg("fill_type") = "solid");
    };
    for (std::size_t i = 0; i < fill_order_.size(); ++i)
        cell(py::arg("row") = i + 1, py::arg("column") = 1).attr("fill") = pattern(fill_order_[i]);
    std::vector<int> xf_of(4, 0);
    for (std::size_t i = 0; i < fill_order_.size(); ++i) {
        const Fill f = i < xf_order.size() ? xf_order[i] : Fill::none;
        cell(py::arg("row") = i + 1, py::arg("column") = 1).attr("fill") = pattern(f);
        if (f != Fill::none) xf_of[static_cast<int>(f)] = static_cast<int>(i) + 1;
    }
    py::object buffer = io.attr("BytesIO")();
    wb.attr("save")(buffer);
    py::object source = zipfile.attr("ZipFile")(buffer);

    // The library's parts in its order; their bytes stay referenced here while
    // the archive is written without the GIL.
    std::vector<std::pair<std::string, std::string_view>> parts;
    std::vector<py::bytes> keep;
    std::size_t sheet = SIZE_MAX;
    for (py::handle info : source.attr("infolist")()) {
        std::string name = info.attr("filename").cast<std::string>();
        keep.push_back(source.attr("read")(info.attr("filename")));
        char *data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(keep.back().ptr(), &data, &size) < 0) qv::throw_python_error();
        if (name == "xl/worksheets/sheet1.xml") sheet = parts.size();
        parts.emplace_back(std::move(name), std::string_view(data, static_cast<std::size_t>(size)));
    }
    if (sheet == SIZE_MAX) throw std::runtime_error("workbook template without a worksheet");
    const std::string file = py::bytes(py::module_::import("os").attr("fsencode")(path));

    try {
        py::gil_scoped_release unlocked;
        ZipWriter archive(file);
        for (std::size_t i = 0; i < parts.size(); ++i) {
            if (i != sheet) {
                archive.add(parts[i].first, parts[i].second);
                continue;
            }
            archive.begin(parts[i].first);
            write_sheet(parts[i].second, xf_of, archive);
            archive.end();
        }
        archive.close();
    } catch (const ArchiveError &e) {
        errno = e.error;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
        qv::throw_python_error();
    }
}

// The worksheet part: the template's text with our rows as its sheetData and
// our dimension, in the library's cell form.
void CellGrid::write_sheet(std::string_view xml, const std::vector<int> &xf_of, ZipWriter &archive) const {
    const std::size_t open = xml.find("<sheetData");
    if (open == std::string_view::npos) throw std::runtime_error("worksheet template without sheetData");
    const std::size_t close_tag = xml.find("</sheetData>");
    const std::size_t tail = close_tag != std::string_view::npos ? close_tag + 12 : xml.find("/>", open) + 2;
    std::string head(xml.substr(0, open));
    const std::size_t dim = head.find("<dimension ref=\"");
    if (dim != std::string::npos) {
        const std::size_t from = dim + 16, to = head.find('"', from);
        const std::string ref = max_row_ == 0 ? "A1:A1"
                                              : column_letters(min_col_) + std::to_string(min_row_) + ":" +
                                                    column_letters(max_col_) + std::to_string(max_row_);
        head.replace(from, to - from, ref);
    }

    std::string out = std::move(head);
    out.reserve(chunk_bytes + (1 << 16));
    if (max_row_ == 0) {
        out += "<sheetData></sheetData>";
    } else {
        // Each cell is `<c r="` letters row `"` style, then a text part that
        // depends on the text only: built once per text used.
        std::vector<std::string> letters(static_cast<std::size_t>(max_col_) + 1);
        for (std::int64_t c = 1; c <= max_col_; ++c) letters[static_cast<std::size_t>(c)] = column_letters(c);
        std::vector<std::string> styles(xf_of.size());
        for (std::size_t f = 1; f < xf_of.size(); ++f) styles[f] = " s=\"" + std::to_string(xf_of[f]) + "\"";
        std::vector<std::string> text_part(texts_.size());
        out += "<sheetData>";
        for (std::size_t r = 1; r < rows_.size(); ++r) {
            const Row &row = rows_[r];
            if (row.empty()) continue;
            char rn[24];
            const int rn_len = std::snprintf(rn, sizeof rn, "%zu", r);
            const std::string_view row_number(rn, static_cast<std::size_t>(rn_len));
            out += "<row r=\"";
            out += row_number;
            out += "\">";
            for (const Cell &cell : row) {
                const Text &t = text_of(cell);
                std::string &part = text_part[cell.text];
                if (part.empty()) {
                    if (t.utf8.empty()) {
                        part = " t=\"inlineStr\" />";
                    } else {
                        part = t.preserve ? " t=\"inlineStr\"><is><t xml:space=\"preserve\">"
                                          : " t=\"inlineStr\"><is><t>";
                        append_escaped(part, t.utf8);
                        part += "</t></is></c>";
                    }
                }
                out += "<c r=\"";
                out += letters[cell.col];
                out += row_number;
                out += '"';
                if (cell.fill != Fill::none) out += styles[static_cast<int>(cell.fill)];
                out += part;
            }
            out += "</row>";
            if (out.size() >= chunk_bytes) {
                archive.write(out);
                out.clear();
            }
        }
        out += "</sheetData>";
    }
    out.append(xml.substr(tail));
    archive.write(out);
}

}  // namespace corvantis
