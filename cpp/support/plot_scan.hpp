// How a datalog's lines are recognised as items, site lines, plot starts,
// plot lines and plot ends. The workbook extraction and the plot reader both
// run this one state machine, so they always agree on which lines form a plot.
#pragma once

#include "support.hpp"

#include <vector>

namespace qv {

// Text helpers shared by the scanners.

inline bool is_exact_str(py::handle o) { return PyUnicode_CheckExact(o.ptr()); }

inline bool str_equals(py::handle a, py::handle b) {
    return PyUnicode_GET_LENGTH(a.ptr()) == PyUnicode_GET_LENGTH(b.ptr()) && PyUnicode_Compare(a.ptr(), b.ptr()) == 0;
}

// `part in text`
inline bool contains(py::handle text, py::handle part) {
    int r = PySequence_Contains(text.ptr(), part.ptr());
    if (r < 0) throw_python_error();
    return r == 1;
}

inline bool truthy(py::handle o) {
    int r = PyObject_IsTrue(o.ptr());
    if (r < 0) throw_python_error();
    return r == 1;
}

// line.strip().startswith(prefix)
inline bool stripped_startswith(py::handle line, py::handle prefix) {
    if (!is_exact_str(prefix)) return truthy(line.attr("strip")().attr("startswith")(prefix));
    PyObject *s = line.ptr();
    const int kind = PyUnicode_KIND(s);
    const void *data = PyUnicode_DATA(s);
    Py_ssize_t begin = 0, end = PyUnicode_GET_LENGTH(s);
    while (begin < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, begin))) ++begin;
    while (end > begin && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1))) --end;
    Py_ssize_t r = PyUnicode_Tailmatch(s, prefix.ptr(), begin, end, -1);
    if (r < 0) throw_python_error();
    return r == 1;
}

// line[:-1] == label + site, for exact str line, label and site.
inline bool is_site_line(py::handle line, py::handle label_and_site) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(line.ptr()) - 1;
    if (n != PyUnicode_GET_LENGTH(label_and_site.ptr())) return false;
    Py_ssize_t r = PyUnicode_Tailmatch(line.ptr(), label_and_site.ptr(), 0, n, -1);
    if (r < 0) throw_python_error();
    return r == 1;
}

// `match(text) is not None`, for a bound `match` of a compiled expression.
inline bool match_found(py::handle match, py::handle text) {
    // The leading slot is the callee's to use (ARGUMENTS_OFFSET).
    PyObject *args[] = {nullptr, text.ptr()};
    py::object result = steal_or_throw(
        PyObject_Vectorcall(match.ptr(), args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    return !result.is_none();
}

// The datalog's lines (a list) as they are when a scan starts. Scans call
// Python code (match callables, keyword tables, the worksheet, finalisers the
// collector runs) that may change or empty the list they were given; the
// copy holds every line for the whole scan, so indexes into it stay valid.
inline py::tuple frozen_lines(py::handle lines) {
    for (;;) {
        // Not PyList_AsTuple: it reads the items after allocating the tuple,
        // and the allocation may run the collector, whose finalisers may
        // change the list. Nothing runs between this check and the copy.
        const Py_ssize_t n = PyList_GET_SIZE(lines.ptr());
        py::tuple copy(static_cast<std::size_t>(n));
        if (PyList_GET_SIZE(lines.ptr()) != n) continue;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *line = PyList_GET_ITEM(lines.ptr(), i);
            PyTuple_SET_ITEM(copy.ptr(), i, Py_NewRef(line));
        }
        return copy;
    }
}

// Line `i` of frozen lines, refused unless it is a str.
inline py::handle str_line(const py::tuple &lines, Py_ssize_t i) {
    py::handle line = PyTuple_GET_ITEM(lines.ptr(), i);
    if (!is_exact_str(line)) throw py::type_error("datalog lines must be str");
    return line;
}

// An answer about a line, unknown until first asked (a plain tri-state: GCC
// takes a std::optional<bool> member for possibly uninitialized at -O3).
enum class Known : signed char { no, yes, unknown };

template <class F>
bool answer_once(Known &slot, F &&compute) {
    if (slot == Known::unknown) slot = compute() ? Known::yes : Known::no;
    return slot == Known::yes;
}

// The answers about one line that do not depend on the site, each worked out
// once and shared by every site a pass over a datalog follows. `Markers`
// gives what the line is tested against:
//   vbt_error(), site_label(), pattern_name(), plot_start(), plot_end(),
//   newline()        the texts (exact str)
//   item(line)       whether the item expression matches at the line's start
// The line is held for as long as the answers are: the item test may run
// outside code.
template <class Markers>
class SharedLineFacts {
public:
    SharedLineFacts(Markers &m, py::handle line) : m_(m), line_(py::reinterpret_borrow<py::object>(line)) {}

    bool vbt_error() { return answer_once(vbt_, [&] { return contains(line_, m_.vbt_error()); }); }
    bool item() { return answer_once(item_, [&] { return m_.item(line_); }); }
    bool has_site_label() { return answer_once(label_, [&] { return contains(line_, m_.site_label()); }); }
    bool pattern_name() { return answer_once(pattern_, [&] { return contains(line_, m_.pattern_name()); }); }
    bool plot_start() { return answer_once(start_, [&] { return stripped_startswith(line_, m_.plot_start()); }); }
    bool blank() { return str_equals(line_, m_.newline()); }
    bool plot_end() { return answer_once(end_, [&] { return contains(line_, m_.plot_end()); }); }
    py::handle line() const { return line_; }

private:
    Markers &m_;
    py::object line_;
    Known vbt_ = Known::unknown, item_ = Known::unknown, label_ = Known::unknown, pattern_ = Known::unknown,
          start_ = Known::unknown, end_ = Known::unknown;
};

// One site's view of answers shared by every site of a pass over a datalog:
// `Shared` answers everything but whether the line is this site's own.
template <class Shared>
struct SiteView {
    Shared &f;
    py::handle label_and_site;

    bool vbt_error() { return f.vbt_error(); }
    bool item() { return f.item(); }
    bool has_site_label() { return f.has_site_label(); }
    // line[:-1] == label + site holds only for lines that contain the label.
    bool selected_site() { return f.has_site_label() && is_site_line(f.line(), label_and_site); }
    bool pattern_name() { return f.pattern_name(); }
    bool plot_start() { return f.plot_start(); }
    bool blank() { return f.blank(); }
    bool plot_end() { return f.plot_end(); }
};

// The scan state of one (datalog, site) pair. `Line` is whatever the caller
// keeps for a line (the line object, or its index).
template <class Line>
struct PlotScan {
    bool flag = false;       // an item line has been seen and no plot written since
    bool site_flag = false;  // the selected site's line has been seen
    bool startPlot = false;  // inside a plot of the selected site
    std::vector<Line> each_item_info;
    std::vector<Line> each_plot;
    Line tmp_pattern_info;

    explicit PlotScan(Line empty) : tmp_pattern_info(empty) {}
};

// One line through the scan. `facts` answers, when asked and in this order,
// what the line is:
//   vbt_error()      contains "VBT error" (the line plays no other role)
//   item()           the item expression matches at its start
//   has_site_label() contains the site label
//   selected_site()  is the selected site's line (line[:-1] == label + site)
//   pattern_name()   contains the pattern-name text
//   plot_start()     its stripped text starts with the plot start marker
//   blank()          is exactly one line feed
//   plot_end()       contains the plot end marker
// Each question is asked only where the rules need its answer, so callers
// whose answers run outside code see the same calls in the same order.
// `on_end(items, plot_lines)` runs when a plot of the selected site ends.
template <class Line, class Facts, class OnEnd>
void plot_scan_step(PlotScan<Line> &s, const Line &line, const Line &empty, Facts &facts, OnEnd &&on_end) {
    if (facts.vbt_error()) return;
    if (facts.item()) {
        s.each_item_info.push_back(line);
        s.tmp_pattern_info = empty;
        s.flag = true;
    }
    // Another site's line while an item is open drops what was gathered for it.
    if (facts.has_site_label() && !facts.selected_site() && s.flag) {
        s.each_item_info.clear();
        s.site_flag = false;
    }
    if (facts.selected_site() && s.flag) {
        s.each_item_info.push_back(line);
        s.site_flag = true;
        return;
    }
    if (facts.pattern_name() && s.flag && !s.startPlot) s.tmp_pattern_info = line;
    if (facts.plot_start() && s.flag && s.site_flag) {
        s.each_item_info.push_back(s.tmp_pattern_info);
        s.startPlot = true;
    }
    if (s.startPlot && s.flag && s.site_flag && !facts.blank()) s.each_plot.push_back(line);
    if (facts.plot_end() && s.flag && s.startPlot && s.site_flag) {
        on_end(s.each_item_info, s.each_plot);
        s.each_item_info.clear();
        s.each_plot.clear();
        s.startPlot = s.flag = s.site_flag = false;
    }
}

}  // namespace qv
