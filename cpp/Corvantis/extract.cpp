// processLog: the scan of one datalog for one site, and the writing of its
// plot groups into the worksheet's site block and summary block.
#include "corvantis.hpp"
#include "grid.hpp"
#include "plot_scan.hpp"
#include "plot_sinks.hpp"

#include "checked.hpp"

#include <array>
#include <memory>
#include <optional>

namespace corvantis {
namespace {

using qv::contains;
using qv::is_exact_str;
using qv::str_equals;
using qv::stripped_startswith;
using qv::truthy;

enum Key { kItem, kSiteNum, kPatName, kPlotStart, kPlotEnd, kRowOffset, kPassSymbol, kFailSymbol, kKeyCount };

// Interned strings used as keys and literals; process lifetime.
struct Literals {
    std::array<py::object, kKeyCount> keys;
    py::object vbt_error, newline, empty, P, dot, none_text, sheet, equals, s, solid;
    py::object kw_cell_write, kw_cell_read, kw_fill;
    py::object green, red, yellow;
};

const Literals &lit() {
    static const Literals *l = [] {
        auto *v = new Literals;
        const char *names[kKeyCount] = {"Item",    "SiteNum",   "PatName",    "PlotStart",
                                        "PlotEnd", "RowOffset", "PassSymbol", "FailSymbol"};
        auto intern = [](const char *t) {
            return qv::steal_or_throw(PyUnicode_InternFromString(t));
        };
        for (int k = 0; k < kKeyCount; ++k) v->keys[k] = intern(names[k]);
        v->vbt_error = intern("VBT error");
        v->newline = intern("\n");
        v->empty = intern("");
        v->P = intern("P");
        v->dot = intern(".");
        v->none_text = intern("None");
        v->sheet = intern("Sheet");
        v->equals = intern("=");
        v->s = intern("s");
        v->solid = intern("solid");
        v->kw_cell_write = py::make_tuple(intern("row"), intern("column"), intern("value"));
        v->kw_cell_read = py::make_tuple(intern("row"), intern("column"));
        v->kw_fill = py::make_tuple(intern("start_color"), intern("end_color"), intern("fill_type"));
        v->green = intern("00EE00");
        v->red = intern("DC143C");
        v->yellow = intern("FFFF00");
        return v;
    }();
    return *l;
}


// The keyword table. Its entries are read each time they are needed; a plain
// dict whose values are plain strings is read once and re-read whenever
// outside code may have run in between, which no script can tell apart.
class Keywords {
public:
    explicit Keywords(py::handle table) : table_(table), snapshot_(PyDict_CheckExact(table.ptr())) { refresh(); }

    void refresh() {
        if (!snapshot_) return;
        for (int k = 0; k < kKeyCount; ++k) {
            PyObject *v = PyDict_GetItemWithError(table_.ptr(), lit().keys[k].ptr());
            if (!v && PyErr_Occurred()) qv::throw_python_error();
            if (v && !PyUnicode_CheckExact(v)) {
                snapshot_ = false;
                for (auto &value : values_) value = py::object();
                return;
            }
            values_[k] = py::reinterpret_borrow<py::object>(v);
        }
    }

    py::object get(Key k) const {
        if (!snapshot_) return qv::steal_or_throw(PyObject_GetItem(table_.ptr(), lit().keys[k].ptr()));
        if (!values_[k]) {
            PyErr_SetObject(PyExc_KeyError, lit().keys[k].ptr());
            qv::throw_python_error();
        }
        return values_[k];
    }

    bool native() const { return snapshot_; }

private:
    py::handle table_;
    bool snapshot_;
    std::array<py::object, kKeyCount> values_;
};

// `re.match(pattern, text)` with `re` looked up in the module namespace. While
// that is still the library's module with its own `match`, compiled patterns
// are kept per call (re.match compiles through the same cache anyway).
class Matcher {
public:
    explicit Matcher(py::handle module) : module_(module) { validate(); }

    void validate() {
        native_ = false;
        PyObject *globals = PyModule_GetDict(module_.ptr());
        PyObject *re = PyDict_GetItemWithError(globals, re_key());
        if (!re) {
            if (PyErr_Occurred()) qv::throw_python_error();
            return;
        }
        if (re != state().re_module.ptr()) return;
        const State &st = state();
        native_ = st.re_trusted && attr_is(re, "match", st.re_match) && attr_is(re, "compile", st.re_compile) &&
                  (st.re_internal_compile.is_none() || attr_is(re, "_compile", st.re_internal_compile));
    }

    bool native() const { return native_; }

    bool match(py::handle pattern, py::handle text) {
        if (native_ && is_exact_str(pattern)) {
            py::handle method = compiled(pattern);
            if (method) {
                // The leading slot is the callee's to use (ARGUMENTS_OFFSET).
                PyObject *args[] = {nullptr, text.ptr()};
                py::object result = qv::steal_or_throw(
                    PyObject_Vectorcall(method.ptr(), args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
                return !result.is_none();
            }
        }
        py::object re = qv::global(module_, "re");
        return truthy(re.attr("match")(pattern, text));
    }

private:
    static PyObject *re_key() {
        static PyObject *k = PyUnicode_InternFromString("re");
        return k;
    }

    static bool attr_is(PyObject *owner, const char *name, const py::object &expected) {
        py::object value = py::reinterpret_steal<py::object>(PyObject_GetAttrString(owner, name));
        if (!value) PyErr_Clear();
        return value && value.is(expected);
    }

    // The bound `match` of the compiled pattern, or a null handle when the
    // compiler did not hand back the library's own pattern object for exactly
    // this text (re.compile wrapped before the module was imported): re.match
    // then decides, as it would without us.
    py::handle compiled(py::handle pattern) {
        for (auto &[p, m] : cache_)
            if (p.is(pattern)) return m;
        for (auto &[p, m] : cache_)
            if (str_equals(p, pattern)) return m;
        py::object compiled = state().re_compile(pattern);
        py::object method;
        if (Py_TYPE(compiled.ptr()) == reinterpret_cast<PyTypeObject *>(state().re_pattern_type.ptr())) {
            py::object text = compiled.attr("pattern");
            py::object flags = compiled.attr("flags");
            if (is_exact_str(text) && str_equals(text, pattern) && flags.equal(state().re_default_flags))
                method = compiled.attr("match");
        }
        cache_.emplace_back(py::reinterpret_borrow<py::object>(pattern), method);
        return cache_.back().second;
    }

    py::handle module_;
    bool native_ = false;
    std::vector<std::pair<py::object, py::object>> cache_;
};

// `str(each_site)`, evaluated at each use unless it cannot run outside code.
class SiteText {
public:
    explicit SiteText(py::handle site) : site_(site) {
        if (PyUnicode_CheckExact(site.ptr()) || PyLong_CheckExact(site.ptr())) fixed_ = py::str(site);
    }
    py::object get() const { return fixed_ ? fixed_ : py::object(py::str(site_)); }
    bool fixed() const { return bool(fixed_); }

private:
    py::handle site_;
    py::object fixed_;
};

// line[:-1] == label + site
class SiteLineTest {
public:
    bool equals(py::handle line, py::handle label, py::handle site) {
        if (is_exact_str(label) && is_exact_str(site)) {
            if (!label_.is(label) || !site_.is(site)) {
                label_ = py::reinterpret_borrow<py::object>(label);
                site_ = py::reinterpret_borrow<py::object>(site);
                target_ = qv::steal_or_throw(PyNumber_Add(label.ptr(), site.ptr()));
            }
            const Py_ssize_t n = PyUnicode_GET_LENGTH(line.ptr()) - 1;
            if (n != PyUnicode_GET_LENGTH(target_.ptr())) return false;
            Py_ssize_t r = PyUnicode_Tailmatch(line.ptr(), target_.ptr(), 0, n, -1);
            if (r < 0) qv::throw_python_error();
            return r == 1;
        }
        py::object head = qv::steal_or_throw(PySequence_GetSlice(line.ptr(), 0, PyObject_Length(line.ptr()) - 1));
        py::object joined = qv::steal_or_throw(PyNumber_Add(label.ptr(), site.ptr()));
        int r = PyObject_RichCompareBool(head.ptr(), joined.ptr(), Py_EQ);
        if (r < 0) qv::throw_python_error();
        return r == 1;
    }

private:
    py::object label_, site_, target_;
};

std::int64_t as_int64(py::handle number) {
    long long v = PyLong_AsLongLong(number.ptr());
    if (v == -1 && PyErr_Occurred()) qv::throw_python_error();
    return v;
}

// Fits in the collecting path's native arithmetic with room to spare.
bool small_int(py::handle o) {
    if (!PyLong_CheckExact(o.ptr())) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) qv::throw_python_error();
    return !overflow && v > -(1LL << 40) && v < (1LL << 40);
}

[[noreturn]] void refuse_row_cursor() {
    throw py::value_error(
        "RowOffset moves the row cursor beyond the rows a worksheet can address; "
        "use a smaller RowOffset in the keyword settings");
}

// Everything one call shares between the scan and the group writers.
struct Call {
    py::handle module, each_file, xls, siteCnt, totalsiteCnt, interval_columns;
    Keywords &kw;
    Matcher &matcher;
    WidestRow *widest;  // the driver's run, when it asked to be told
    std::int64_t iRow = 2;
    // The cursor went past what 64 bits hold. Only using it is refused: a
    // huge RowOffset after the last plot group harms nothing.
    bool cursor_lost = false;

    // iRow + 1, the row the next line goes to.
    std::int64_t next_row() const {
        std::int64_t row = 0;
        if (cursor_lost || !qv::checked_add(iRow, 1, &row)) refuse_row_cursor();
        return row;
    }
    void advance(py::handle offset) {
        int overflow = 0;
        const long long by = PyLong_AsLongLongAndOverflow(offset.ptr(), &overflow);
        if (by == -1 && PyErr_Occurred()) qv::throw_python_error();
        if (overflow || !qv::checked_add(iRow, by, &iRow)) cursor_lost = true;
    }

    void note_row(Py_ssize_t line_index, Py_ssize_t cells) {
        if (widest) widest->note(each_file, line_index, cells);
    }
};

// Writes plot groups through the worksheet's cell API.
class CellApiWriter {
public:
    CellApiWriter(Call &c, py::object block_start) : c_(c), B_(std::move(block_start)) {}

    void write_group(const std::vector<py::object> &items, const std::vector<py::object> &plot,
                     const std::vector<Py_ssize_t> &plot_lines) {
        const Literals &L = lit();
        py::object ws = qv::steal_or_throw(PyObject_GetItem(c_.xls.ptr(), L.sheet.ptr()));
        cell_ = ws.attr("cell");
        direct_ = is_library_worksheet(ws);
        py::object one = py::int_(1);
        py::object TW = num(PyNumber_Multiply(c_.totalsiteCnt.ptr(), c_.interval_columns.ptr()));
        py::object TW1 = num(PyNumber_Add(TW.ptr(), one.ptr()));

        write(py::int_(1), num(PyNumber_Add(B_.ptr(), one.ptr())), c_.each_file);
        for (const py::object &text : items) {
            py::object iColumn = B_;
            py::object row = row_number();
            write(row, num(PyNumber_Add(iColumn.ptr(), one.ptr())), text);
            write(row, TW1, text);
            c_.iRow = c_.next_row();
        }
        for (std::size_t p = 0; p < plot.size(); ++p) {
            const py::object &line = plot[p];
            c_.kw.refresh();
            c_.matcher.validate();
            py::object iColumn = B_;
            py::list tokens = py::reinterpret_borrow<py::list>(qv::steal_or_throw(PyUnicode_Split(line.ptr(), nullptr, -1)));
            const Py_ssize_t n = PyList_GET_SIZE(tokens.ptr());
            c_.note_row(plot_lines[p], n);
            if (!contains(line, c_.kw.get(kPlotEnd))) {
                for (Py_ssize_t i = 1; i < n; ++i) {
                    py::object printed = tokens[i];
                    if (c_.matcher.match(c_.kw.get(kPassSymbol), printed)) tokens[i] = L.P;
                    if (c_.matcher.match(c_.kw.get(kFailSymbol), printed)) tokens[i] = L.dot;
                }
            }
            py::object row = row_number();
            for (Py_ssize_t j = 0; j < n; ++j) {
                py::object x = tokens[j];
                py::object column = num(PyNumber_Add(iColumn.ptr(), one.ptr()));
                py::object site_cell = write(row, column, x);
                if (str_equals(x, L.P)) set_fill(site_cell, row, column, L.green);
                else if (str_equals(x, L.dot)) set_fill(site_cell, row, column, L.red);

                py::object offset = num(PyNumber_Subtract(iColumn.ptr(), B_.ptr()));
                py::object S = num(PyNumber_Add(num(PyNumber_Add(TW.ptr(), offset.ptr())).ptr(), one.ptr()));
                py::object summary = read(row, S);
                py::object text = py::str(summary.attr("value"));
                if (!str_equals(text, L.none_text)) {
                    py::object y = num(PyNumber_Add(text.ptr(), x.ptr()));
                    summary = rewrite(summary, row, S, y);
                    if (contains(y, L.P) && contains(y, L.dot)) set_fill(summary, row, S, L.yellow);
                } else {
                    rewrite(summary, row, S, x);
                }
                iColumn = num(PyNumber_Add(iColumn.ptr(), one.ptr()));
            }
            c_.iRow = c_.next_row();
        }
        cell_ = py::object();
    }

private:
    static py::object num(PyObject *r) { return qv::steal_or_throw(r); }

    py::object row_number() const { return py::int_(c_.next_row()); }

    // The library's own worksheet hands back the same cell object for the same
    // coordinates every time, so a cell just reached can be used again
    // instead of looking it up anew.
    static bool is_library_worksheet(py::handle ws) {
        const State &s = state();
        if (Py_TYPE(ws.ptr()) != reinterpret_cast<PyTypeObject *>(s.worksheet_class.ptr())) return false;
        py::object own = py::reinterpret_steal<py::object>(PyObject_GetAttrString(s.worksheet_class.ptr(), "cell"));
        if (!own) PyErr_Clear();
        if (!own || !own.is(s.worksheet_cell)) return false;
        py::object dict = py::reinterpret_steal<py::object>(PyObject_GetAttrString(ws.ptr(), "__dict__"));
        if (!dict) {
            PyErr_Clear();
            return false;
        }
        return PyDict_Check(dict.ptr()) && !PyDict_GetItemString(dict.ptr(), "cell");
    }

    // Datalog text that starts with "=" stays text instead of turning into a
    // formula.
    static void keep_as_text(py::handle cell, py::handle value) {
        if (PyUnicode_Check(value.ptr()) && PyUnicode_GET_LENGTH(value.ptr()) > 1 &&
            PyUnicode_READ_CHAR(value.ptr(), 0) == '=')
            cell.attr("data_type") = lit().s;
    }

    // ws.cell(row=, column=, value=)
    py::object write(py::handle row, py::handle column, py::handle value) {
        PyObject *args[] = {nullptr, row.ptr(), column.ptr(), value.ptr()};
        py::object cell = qv::steal_or_throw(PyObject_Vectorcall(
            cell_.ptr(), args + 1, 0 | PY_VECTORCALL_ARGUMENTS_OFFSET, lit().kw_cell_write.ptr()));
        keep_as_text(cell, value);
        return cell;
    }

    // Writes `value` at a cell already reached as `cell`.
    py::object rewrite(py::handle cell, py::handle row, py::handle column, py::handle value) {
        if (!direct_) return write(row, column, value);
        cell.attr("value") = value;
        keep_as_text(cell, value);
        return py::reinterpret_borrow<py::object>(cell);
    }

    py::object read(py::handle row, py::handle column) {
        PyObject *args[] = {nullptr, row.ptr(), column.ptr()};
        return qv::steal_or_throw(PyObject_Vectorcall(cell_.ptr(), args + 1, 0 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                      lit().kw_cell_read.ptr()));
    }

    void set_fill(py::handle cell, py::handle row, py::handle column, py::handle colour) {
        py::object target = direct_ ? py::reinterpret_borrow<py::object>(cell) : read(row, column);
        target.attr("fill") = fill_object(colour);
    }

    // PatternFill(start_color=c, end_color=c, fill_type="solid"). While the
    // name is still the library's class, one object per colour serves the
    // whole call: the workbook keeps equal fills once either way.
    py::object fill_object(py::handle colour) {
        py::object cls = qv::global(c_.module, "PatternFill");
        const bool own = cls.is(state().pattern_fill);
        const Literals &L = lit();
        int slot = colour.is(L.green) ? 0 : colour.is(L.red) ? 1 : 2;
        if (own && fills_[slot]) return fills_[slot];
        PyObject *args[] = {nullptr, colour.ptr(), colour.ptr(), L.solid.ptr()};
        py::object fill = qv::steal_or_throw(
            PyObject_Vectorcall(cls.ptr(), args + 1, 0 | PY_VECTORCALL_ARGUMENTS_OFFSET, L.kw_fill.ptr()));
        if (own) fills_[slot] = fill;
        return fill;
    }

    Call &c_;
    py::object B_;
    py::object cell_;
    bool direct_ = false;
    std::array<py::object, 3> fills_;
};

// Collects plot groups into a sink (a CellGrid or a recording of one); only
// used when every value taking part is a plain str or int and `re` is the
// library's.
template <class Sink>
class CollectingWriter {
public:
    CollectingWriter(Call &c, Sink &sink) : c_(c), sink_(sink) {}

    void write_group(const std::vector<py::object> &items, const std::vector<py::object> &plot,
                     const std::vector<Py_ssize_t> &plot_lines) {
        sink_.file_cell(sink_.intern(c_.each_file));
        for (const py::object &text : items) {
            const std::uint32_t id = sink_.intern(text);
            const std::int64_t row = c_.next_row();
            sink_.item(row, id);
            c_.iRow = row;
        }
        for (std::size_t p = 0; p < plot.size(); ++p) {
            const py::object &line = plot[p];
            const bool convert = !contains(line, c_.kw.get(kPlotEnd));
            const std::int64_t row = c_.next_row();
            std::int64_t j = 0;
            auto place = [&](std::uint32_t id) { sink_.point(row, j++, id); };
            if (PyUnicode_IS_ASCII(line.ptr())) {
                // str.split() on ASCII text, without a str per token.
                const char *p = static_cast<const char *>(PyUnicode_DATA(line.ptr()));
                const std::size_t n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(line.ptr()));
                std::size_t i = 0;
                for (;;) {
                    while (i < n && ascii_space(p[i])) ++i;
                    if (i == n) break;
                    const std::size_t from = i;
                    while (i < n && !ascii_space(p[i])) ++i;
                    const std::string_view token(p + from, i - from);
                    place((convert && j > 0) ? converted(token, py::handle()) : sink_.intern(token));
                }
            } else {
                py::list tokens = py::reinterpret_borrow<py::list>(
                    qv::steal_or_throw(PyUnicode_Split(line.ptr(), nullptr, -1)));
                const Py_ssize_t n = PyList_GET_SIZE(tokens.ptr());
                for (Py_ssize_t k = 0; k < n; ++k) {
                    py::handle token = PyList_GET_ITEM(tokens.ptr(), k);
                    place((convert && k > 0) ? converted(utf8_of(token), token) : sink_.intern(token));
                }
            }
            c_.note_row(plot_lines[p], static_cast<Py_ssize_t>(j));
            c_.iRow = row;
        }
    }

private:
    // The token as PassSymbol/FailSymbol turn it: both patterns are tested on
    // the printed token, the fail test last. Pure for plain strings and the
    // library's re, so the result is remembered per token text.
    static bool ascii_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r') || (c >= '\x1c' && c <= '\x1f'); }

    static std::string_view utf8_of(py::handle text) {
        Py_ssize_t size = 0;
        const char *utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
        if (!utf8) qv::throw_python_error();
        return std::string_view(utf8, static_cast<std::size_t>(size));
    }

    // `token` is the str of `key`, or null to make it when needed.
    std::uint32_t converted(std::string_view key, py::handle token) {
        py::object pass = c_.kw.get(kPassSymbol);
        py::object fail = c_.kw.get(kFailSymbol);
        if (!pass.is(pass_) || !fail.is(fail_)) {
            memo_.clear();
            pass_ = pass;
            fail_ = fail;
        }
        auto it = memo_.find(key);
        if (it != memo_.end()) return it->second;
        py::object made;
        if (!token) {
            made = qv::steal_or_throw(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
            token = made;
        }
        const bool passes = c_.matcher.match(pass, token);
        const bool fails = c_.matcher.match(fail, token);
        // A converted token's own text is never written.
        const std::uint32_t id = fails ? sink_.id_dot() : passes ? sink_.id_P() : sink_.intern(key);
        memo_.emplace(std::string(key), id);
        return id;
    }

    Call &c_;
    Sink &sink_;
    py::object pass_, fail_;
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    std::unordered_map<std::string, std::uint32_t, Hash, std::equal_to<>> memo_;
};

// The extraction's answers to the scan's questions about one line: every
// answer is worked out when asked, with the table's entries read afresh.
struct LineFacts {
    py::handle line;
    Keywords &kw;
    Matcher &matcher;
    const SiteText &site;
    SiteLineTest &site_line;

    bool vbt_error() { return contains(line, lit().vbt_error); }
    bool item() { return matcher.match(kw.get(kItem), line); }
    bool has_site_label() { return contains(line, kw.get(kSiteNum)); }
    bool selected_site() { return site_line.equals(line, kw.get(kSiteNum), site.get()); }
    bool pattern_name() { return contains(line, kw.get(kPatName)); }
    bool plot_start() { return stripped_startswith(line, kw.get(kPlotStart)); }
    bool blank() { return str_equals(line, lit().newline); }
    bool plot_end() { return contains(line, kw.get(kPlotEnd)); }
};

// A datalog line and where it stands in the datalog (0-based).
struct Numbered {
    py::object text;
    Py_ssize_t index;
};

// Hands a finished plot group to `writer` (texts, and the plot lines' places
// in the datalog), then moves the row cursor by RowOffset.
template <class Writer>
void write_group(Writer &writer, const std::vector<Numbered> &items, const std::vector<Numbered> &plot) {
    std::vector<py::object> item_texts, plot_texts;
    std::vector<Py_ssize_t> plot_lines;
    for (const Numbered &n : items) item_texts.push_back(n.text);
    for (const Numbered &n : plot) {
        plot_texts.push_back(n.text);
        plot_lines.push_back(n.index);
    }
    writer.write_group(item_texts, plot_texts, plot_lines);
}

void advance_by_row_offset(Call &c) {
    py::object offset = qv::steal_or_throw(PyNumber_Long(c.kw.get(kRowOffset).ptr()));
    c.advance(offset);
}

template <class Writer>
void scan(Call &c, py::handle each_site, const py::list &lines, Writer &writer) {
    Keywords &kw = c.kw;
    Matcher &matcher = c.matcher;
    SiteText site(each_site);
    SiteLineTest site_line;
    const Numbered empty{lit().empty, -1};
    qv::PlotScan<Numbered> state(empty);

    auto on_end = [&](const std::vector<Numbered> &items, const std::vector<Numbered> &plot) {
        write_group(writer, items, plot);
        kw.refresh();
        matcher.validate();
        advance_by_row_offset(c);
    };

    const Py_ssize_t count = PyList_GET_SIZE(lines.ptr());
    for (Py_ssize_t i = 0; i < count; ++i) {
        py::handle line = PyList_GET_ITEM(lines.ptr(), i);
        if (!is_exact_str(line)) throw py::type_error("datalog lines must be str");
        // Outside code (a custom table, str() of the site, a replaced re) may
        // have rebound `re` since the last line.
        if (!(kw.native() && site.fixed() && matcher.native())) matcher.validate();
        LineFacts facts{line, kw, matcher, site, site_line};
        qv::plot_scan_step(state, Numbered{py::reinterpret_borrow<py::object>(line), i}, empty, facts, on_end);
    }
}

// The answers about one line that do not depend on the site, each worked out
// once for all the sites a pass follows. Only used while the keyword table
// and `re` are plain (no outside code runs to answer), so asking once gives
// what asking per site would.
class SharedFacts {
public:
    SharedFacts(py::handle line, Keywords &kw, Matcher &matcher) : line_(line), kw_(kw), matcher_(matcher) {}

    bool vbt_error() { return get(vbt_, [&] { return contains(line_, lit().vbt_error); }); }
    bool item() { return get(item_, [&] { return matcher_.match(kw_.get(kItem), line_); }); }
    bool has_site_label() { return get(label_, [&] { return contains(line_, kw_.get(kSiteNum)); }); }
    bool pattern_name() { return get(pattern_, [&] { return contains(line_, kw_.get(kPatName)); }); }
    bool plot_start() { return get(start_, [&] { return stripped_startswith(line_, kw_.get(kPlotStart)); }); }
    bool blank() { return str_equals(line_, lit().newline); }
    bool plot_end() { return get(end_, [&] { return contains(line_, kw_.get(kPlotEnd)); }); }
    py::handle line() const { return line_; }

private:
    template <class F>
    static bool get(qv::Known &slot, F &&compute) {
        return qv::answer_once(slot, std::forward<F>(compute));
    }

    py::handle line_;
    Keywords &kw_;
    Matcher &matcher_;
    qv::Known vbt_ = qv::Known::unknown, item_ = qv::Known::unknown, label_ = qv::Known::unknown,
              pattern_ = qv::Known::unknown, start_ = qv::Known::unknown, end_ = qv::Known::unknown;
};

// One site followed by a multi-site pass: its own row cursor, scan state
// and recording.
struct FollowedSite {
    FollowedSite(py::handle module, py::handle file_name, py::handle site, Keywords &kw, Matcher &matcher,
                 const Numbered &empty)
        : call{module, file_name, py::none(), py::none(), py::none(), py::none(), kw, matcher, &widest},
          writer(call, sink),
          state(empty),
          label_and_site(qv::steal_or_throw(PyNumber_Add(kw.get(kSiteNum).ptr(), site.ptr()))) {}

    WidestRow widest;
    Call call;
    RecordSink sink;
    CollectingWriter<RecordSink> writer;
    qv::PlotScan<Numbered> state;
    py::object label_and_site;
};

// processLog's collecting scan for every site in `sites` in one pass over
// `lines`: each site's plot groups recorded as its own scan would write them.
// Empty when the pass cannot stand in for the per-site scans (a value that is
// not plain, or anything the per-site scan would raise: that scan then
// raises it in its own order).
std::vector<py::bytes> record_sites(py::handle module, py::handle file_name, const py::list &sites,
                                    const py::list &lines, py::handle dict_keyword) {
    if (!is_exact_str(file_name)) return {};
    Keywords kw(dict_keyword);
    Matcher matcher(module);
    if (!kw.native() || !matcher.native() || !is_exact_str(kw.get(kSiteNum))) return {};
    const Numbered empty{lit().empty, -1};
    std::vector<std::unique_ptr<FollowedSite>> followed;
    for (py::handle site : sites) {
        if (!is_exact_str(site)) return {};
        followed.push_back(std::make_unique<FollowedSite>(module, file_name, site, kw, matcher, empty));
    }
    try {
        const Py_ssize_t count = PyList_GET_SIZE(lines.ptr());
        for (Py_ssize_t i = 0; i < count; ++i) {
            py::handle line = PyList_GET_ITEM(lines.ptr(), i);
            if (!is_exact_str(line)) return {};
            SharedFacts facts(line, kw, matcher);
            const Numbered numbered{py::reinterpret_borrow<py::object>(line), i};
            for (auto &f : followed) {
                qv::SiteView<SharedFacts> view{facts, f->label_and_site};
                qv::plot_scan_step(f->state, numbered, empty, view,
                                   [&](const std::vector<Numbered> &items, const std::vector<Numbered> &plot) {
                                       write_group(f->writer, items, plot);
                                       advance_by_row_offset(f->call);
                                   });
            }
        }
    } catch (const NotCollectable &) {
        return {};
    } catch (py::error_already_set &e) {
        // Only what the per-site scan raises again; a KeyboardInterrupt goes on.
        if (!e.matches(PyExc_Exception)) throw;
        return {};
    }
    if (!kw.native() || !matcher.native()) return {};
    std::vector<py::bytes> recordings;
    for (auto &f : followed) recordings.push_back(f->sink.finish(f->widest));
    return recordings;
}

}  // namespace

bool run_process_log(py::handle module, py::handle each_file, py::handle each_site, py::handle xls,
                     py::handle siteCnt, py::handle totalsiteCnt, py::handle dict_keyword,
                     py::handle interval_columns, CellGrid *grid, py::handle given_lines) {
    if (grid) {
        // Collecting needs plain values throughout; anything else goes the
        // cell-API way, before anything has been read.
        if (!is_exact_str(each_file) || !is_exact_str(each_site) || !small_int(siteCnt) ||
            !small_int(totalsiteCnt) || !small_int(interval_columns))
            return false;
        Keywords kw(dict_keyword);
        Matcher matcher(module);
        if (!kw.native() || !matcher.native()) return false;
        py::list lines = given_lines ? py::reinterpret_borrow<py::list>(given_lines) : read_datalog_lines(each_file);
        Call call{module, each_file, xls, siteCnt, totalsiteCnt, interval_columns, kw, matcher, watched_rows(grid, xls)};
        try {
            const std::int64_t block = GridSink::mul(as_int64(siteCnt) - 1, as_int64(interval_columns));
            std::int64_t summary = 0;
            const bool summary_ok = qv::checked_mul(as_int64(totalsiteCnt), as_int64(interval_columns), &summary);
            GridSink sink(*grid, block, summary, summary_ok);
            CollectingWriter<GridSink> writer(call, sink);
            scan(call, each_site, lines, writer);
        } catch (const NotCollectable &) {
            return false;
        }
        return kw.native() && matcher.native();
    }

    // iColumn's starting value, (siteCnt - 1) * interval_columns.
    py::object one = py::int_(1);
    py::object B = qv::steal_or_throw(PyNumber_Multiply(
        qv::steal_or_throw(PyNumber_Subtract(siteCnt.ptr(), one.ptr())).ptr(), interval_columns.ptr()));
    py::list lines = read_datalog_lines(each_file);
    Keywords kw(dict_keyword);
    Matcher matcher(module);
    Call call{module, each_file, xls, siteCnt, totalsiteCnt, interval_columns, kw, matcher, watched_rows(nullptr, xls)};
    CellApiWriter writer(call, B);
    scan(call, each_site, lines, writer);
    return true;
}

std::optional<bool> collect_sites(py::handle module, py::handle each_file, const py::list &sites,
                                  long first_site_count, py::handle totalsiteCnt, py::handle dict_keyword,
                                  py::handle interval_columns, CellGrid &grid, const py::list &lines) {
    if (!small_int(totalsiteCnt) || !small_int(interval_columns)) return std::nullopt;
    std::vector<py::bytes> recordings = record_sites(module, each_file, sites, lines, dict_keyword);
    if (recordings.size() != static_cast<std::size_t>(py::len(sites))) return std::nullopt;
    WidestRow scratch;
    WidestRow *widest = watched_rows(&grid, py::none());
    const std::int64_t width = as_int64(interval_columns);
    try {
        std::int64_t summary = 0;
        const bool summary_ok = qv::checked_mul(as_int64(totalsiteCnt), width, &summary);
        long site_count = first_site_count;
        for (const py::bytes &recording : recordings) {
            GridSink sink(grid, GridSink::mul(site_count - 1, width), summary, summary_ok);
            replay(recording, sink, widest ? *widest : scratch);
            ++site_count;
        }
    } catch (const NotCollectable &) {
        return false;
    }
    return true;
}

namespace {

// `_record_plots(TER_keyword, file_name, sites, lines)`: processLog's
// collecting scan of `lines` (the datalog's text, read by the caller) for
// each site in the list, in one pass, recorded for a later replay;
// `file_name` is what the blocks show above them. None when the scan needs
// the cell API or would raise (the caller then extracts the usual way).
py::object record_plots(py::handle module, const qv::Args &args) {
    if (!PyList_CheckExact(args[2].ptr()) || !PyList_CheckExact(args[3].ptr())) return py::none();
    std::vector<py::bytes> recordings = record_sites(module, args[1], py::reinterpret_borrow<py::list>(args[2]),
                                                     py::reinterpret_borrow<py::list>(args[3]), args[0]);
    if (recordings.size() != static_cast<std::size_t>(py::len(args[2]))) return py::none();
    py::list out;
    for (py::bytes &r : recordings) out.append(r);
    return out;
}

const qv::FunctionSpec record_spec{
    "_record_plots", nullptr, {"TER_keyword", "file_name", "sites", "lines"}, record_plots};

py::object processLog(py::handle module, const qv::Args &args) {
    run_process_log(module, args[0], args[1], args[2], args[3], args[4], args[5], args[6], nullptr);
    return py::none();
}

const qv::FunctionSpec spec{
    "processLog",
    nullptr,
    {"each_file", "each_site", "xls", "siteCnt", "totalsiteCnt", "dict_keyword", "interval_columns"},
    processLog};

}  // namespace

py::object make_processLog(py::module_ m) { return qv::make_function(spec, m, py::make_tuple(20)); }

py::object make_record_plots(py::module_ m) { return qv::make_function(record_spec, m); }

}  // namespace corvantis
