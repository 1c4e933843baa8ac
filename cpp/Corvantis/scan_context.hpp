// What processLog's scan and its group writers share: the literals, the
// keyword table as the scan reads it, the module's `re.match`, and the state
// of one call. Used by the per-site scan (extract.cpp) and the one-pass scan
// of all sites (site_pass.cpp).
#pragma once

#include "corvantis.hpp"
#include "plot_scan.hpp"
#include "plot_sinks.hpp"

#include "checked.hpp"

#include <array>
#include <utility>
#include <vector>

namespace corvantis::scanning {

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

inline const Literals &lit() {
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
        v->green = intern(colour_text(Fill::green));
        v->red = intern(colour_text(Fill::red));
        v->yellow = intern(colour_text(Fill::yellow));
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
            if (method) return qv::match_found(method, text);
        }
        py::object re = qv::global(module_, "re");
        return truthy(re.attr("match")(pattern, text));
    }

private:
    static PyObject *re_key() {
        static PyObject *k = PyUnicode_InternFromString("re");
        return k;
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

inline std::int64_t as_int64(py::handle number) {
    long long v = PyLong_AsLongLong(number.ptr());
    if (v == -1 && PyErr_Occurred()) qv::throw_python_error();
    return v;
}


// Fits in the collecting path's native arithmetic with room to spare.
inline bool small_int(py::handle o) {
    if (!PyLong_CheckExact(o.ptr())) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) qv::throw_python_error();
    return !overflow && v > -largest_collected_number && v < largest_collected_number;
}


[[noreturn]] inline void refuse_row_cursor() {
    throw py::value_error(
        "the keyword table's RowOffset moves the row cursor beyond the rows a worksheet can address; "
        "give the table's \"RowOffset\" entry a smaller number (getKeyWordFromSettingFile sets it to \"1\")");
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

// A datalog line and where it stands in the datalog (0-based).
struct Numbered {
    py::object text;
    Py_ssize_t index;
};

// Hands a finished plot group to `writer`: its texts, and the plot lines'
// places in the datalog.
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

// Moves the row cursor by RowOffset, after each plot group.
inline void advance_by_row_offset(Call &c) {
    py::object offset = qv::steal_or_throw(PyNumber_Long(c.kw.get(kRowOffset).ptr()));
    c.advance(offset);
}

}  // namespace corvantis::scanning
