// processLog: the scan of one datalog for one site, and the writing of its
// plot groups into the worksheet's site block and summary block.
#include "collecting_writer.hpp"
#include "corvantis.hpp"
#include "grid.hpp"
#include "plot_scan.hpp"
#include "plot_sinks.hpp"
#include "scan_context.hpp"

#include <array>
#include <optional>

namespace corvantis {
namespace {

using namespace scanning;

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

    // Outside code (a custom table, a replaced re, the worksheet) runs while
    // the lines are read and may change the list; the scan reads a copy.
    const py::tuple frozen = qv::frozen_lines(lines);
    const Py_ssize_t count = PyTuple_GET_SIZE(frozen.ptr());
    for (Py_ssize_t i = 0; i < count; ++i) {
        py::handle line = qv::str_line(frozen, i);
        // Outside code (a custom table, str() of the site, a replaced re) may
        // have rebound `re` since the last line.
        if (!(kw.native() && site.fixed() && matcher.native())) matcher.validate();
        LineFacts facts{line, kw, matcher, site, site_line};
        qv::plot_scan_step(state, Numbered{py::reinterpret_borrow<py::object>(line), i}, empty, facts, on_end);
    }
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

namespace {

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

}  // namespace corvantis
