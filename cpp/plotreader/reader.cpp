// quorvane.Source._plotreader: every shmoo plot of a datalog's selected
// sites in one pass over its lines, as text tokens and a pass/fail grid.
// The lines are recognised by the same scan as the workbook extraction.
#include "plot_scan.hpp"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace plotreader {
namespace {

namespace py = pybind11;
using qv::contains;
using qv::is_exact_str;

constexpr std::int8_t kPass = 1, kFail = 0, kNeither = -1;

py::object intern(const char *text) { return qv::steal_or_throw(PyUnicode_InternFromString(text)); }

// The text of a line without its line end.
py::object without_line_end(py::handle line) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(line.ptr());
    if (n > 0 && PyUnicode_READ_CHAR(line.ptr(), n - 1) == '\n')
        return qv::steal_or_throw(PyUnicode_Substring(line.ptr(), 0, n - 1));
    return py::reinterpret_borrow<py::object>(line);
}

// line.split(), as a tuple: the pass and fail callables run while the tokens
// are read, and no callable can change a tuple.
py::tuple split(py::handle line) {
    py::object tokens = qv::steal_or_throw(PyUnicode_Split(line.ptr(), nullptr, -1));
    return py::reinterpret_borrow<py::tuple>(qv::steal_or_throw(PyList_AsTuple(tokens.ptr())));
}

// What a pass tests lines against: the keyword table's texts and the
// compiled expressions' bound `match` callables.
struct Markers {
    py::object item_match, site_label_text, pattern_text, start_text, end_text;
    py::object pass_match, fail_match;
    py::object vbt_text = intern("VBT error");
    py::object newline_text = intern("\n");

    // What the shared line facts ask (plot_scan.hpp).
    py::handle vbt_error() const { return vbt_text; }
    py::handle site_label() const { return site_label_text; }
    py::handle pattern_name() const { return pattern_text; }
    py::handle plot_start() const { return start_text; }
    py::handle plot_end() const { return end_text; }
    py::handle newline() const { return newline_text; }
    bool item(py::handle line) const { return qv::match_found(item_match, line); }
};

using LineFacts = qv::SharedLineFacts<const Markers>;

// pass / fail / neither of a point token as printed; the fail test wins when
// both match, as in the workbook. Remembered per token text.
class TokenClassifier {
public:
    explicit TokenClassifier(const Markers &m) : m_(m) {}

    std::int8_t operator()(py::handle token) {
        Py_ssize_t size = 0;
        const char *utf8 = PyUnicode_AsUTF8AndSize(token.ptr(), &size);
        if (!utf8) qv::throw_python_error();
        std::string key(utf8, static_cast<std::size_t>(size));
        auto it = memo_.find(key);
        if (it != memo_.end()) return it->second;
        const bool passes = qv::match_found(m_.pass_match, token);
        const bool fails = qv::match_found(m_.fail_match, token);
        const std::int8_t code = fails ? kFail : passes ? kPass : kNeither;
        memo_.emplace(std::move(key), code);
        return code;
    }

private:
    const Markers &m_;
    std::unordered_map<std::string, std::int8_t> memo_;
};

// Where and under which item an open plot started.
struct Opening {
    Py_ssize_t line = -1;
    Py_ssize_t item = -1;
    Py_ssize_t pattern = -1;
};

// Turns the lines of one finished plot into
// (item, pattern, line, row_labels, axis, grid_bytes, rows, cols).
py::tuple build_plot(const py::tuple &lines, const std::vector<Py_ssize_t> &plot, const Opening &at,
                     const Markers &m, TokenClassifier &classify) {
    std::vector<std::vector<std::int8_t>> rows;
    py::list labels;
    py::object axis_inside, axis_end;
    std::size_t cols = 0;
    for (Py_ssize_t index : plot) {
        if (index == at.line) continue;  // the start marker line is the plot's title
        py::handle line = PyTuple_GET_ITEM(lines.ptr(), index);
        py::tuple tokens = split(line);
        const Py_ssize_t n = PyTuple_GET_SIZE(tokens.ptr());
        if (contains(line, m.end_text)) {
            // The end marker line's tokens are never points (the workbook
            // copies them unconverted); printed with values, it is the axis.
            if (n >= 2) axis_end = tokens;
            continue;
        }
        if (n == 0) continue;  // a line of spaces
        std::vector<std::int8_t> codes;
        codes.reserve(static_cast<std::size_t>(n - 1));
        bool any_point = false;
        for (Py_ssize_t j = 1; j < n; ++j) {
            std::int8_t c = classify(PyTuple_GET_ITEM(tokens.ptr(), j));
            any_point = any_point || c != kNeither;
            codes.push_back(c);
        }
        if (any_point) {
            labels.append(py::handle(PyTuple_GET_ITEM(tokens.ptr(), 0)));
            cols = std::max(cols, codes.size());
            rows.push_back(std::move(codes));
        } else if (n >= 2) {
            axis_inside = tokens;
        }
    }
    std::string grid(rows.size() * cols, static_cast<char>(kNeither));
    for (std::size_t r = 0; r < rows.size(); ++r)
        for (std::size_t c = 0; c < rows[r].size(); ++c) grid[r * cols + c] = static_cast<char>(rows[r][c]);

    py::object axis = axis_inside ? axis_inside : axis_end ? axis_end : py::none();
    py::object item = at.item >= 0 ? without_line_end(PyTuple_GET_ITEM(lines.ptr(), at.item)) : py::none();
    py::object pattern =
        at.pattern >= 0 ? without_line_end(PyTuple_GET_ITEM(lines.ptr(), at.pattern)) : py::object(py::none());
    return py::make_tuple(item, pattern, py::int_(at.line + 1), py::tuple(labels), axis,
                          py::bytes(grid.data(), grid.size()), py::int_(rows.size()), py::int_(cols));
}

struct Site {
    py::object text;
    py::object label_and_site;
    qv::PlotScan<Py_ssize_t> scan{-1};
    Opening open;
    py::list plots;
    Py_ssize_t count = 0;
};

// read_plots(lines, sites, item_match, site_label, pattern_name, plot_start,
//            plot_end, pass_match, fail_match) -> (plots per site, unclosed);
// with `build` false the plots are only counted: (count per site, unclosed).
py::object scan_plots(PyObject *const *args, bool build) {
    py::handle lines_arg = args[0], sites_arg = args[1];
    if (!PyList_Check(lines_arg.ptr())) throw py::type_error("lines must be a list of str");
    if (!PyList_Check(sites_arg.ptr())) throw py::type_error("sites must be a list of str");
    Markers m;
    m.item_match = py::reinterpret_borrow<py::object>(args[2]);
    m.site_label_text = py::reinterpret_borrow<py::object>(args[3]);
    m.pattern_text = py::reinterpret_borrow<py::object>(args[4]);
    m.start_text = py::reinterpret_borrow<py::object>(args[5]);
    m.end_text = py::reinterpret_borrow<py::object>(args[6]);
    m.pass_match = py::reinterpret_borrow<py::object>(args[7]);
    m.fail_match = py::reinterpret_borrow<py::object>(args[8]);
    for (py::handle text : {m.site_label_text, m.pattern_text, m.start_text, m.end_text})
        if (!is_exact_str(text)) throw py::type_error("markers must be str");

    std::vector<Site> sites;
    for (py::handle s : sites_arg) {
        if (!is_exact_str(s)) throw py::type_error("site texts must be str");
        Site site;
        site.text = py::reinterpret_borrow<py::object>(s);
        site.label_and_site = qv::steal_or_throw(PyNumber_Add(m.site_label_text.ptr(), s.ptr()));
        sites.push_back(std::move(site));
    }

    TokenClassifier classify(m);
    Py_ssize_t last_item = -1;
    // The match callables may change the caller's list; the plots are built
    // from the lines as they were.
    const py::tuple lines = qv::frozen_lines(lines_arg);
    const Py_ssize_t count = PyTuple_GET_SIZE(lines.ptr());
    for (Py_ssize_t i = 0; i < count; ++i) {
        LineFacts facts(m, qv::str_line(lines, i));
        for (Site &site : sites) {
            qv::SiteView<LineFacts> seen{facts, site.label_and_site};
            const bool was_open = site.scan.startPlot;
            const Py_ssize_t pattern_before = site.scan.tmp_pattern_info;
            auto opening_here = [&] {
                // With an empty pattern-name marker every line after the item
                // line counts as one, the start line included, so the scan's
                // pattern line is the start line itself. A line printed between
                // the site line and the start line (such as "Pattern: x") says
                // more; without one, the start line stays the pattern line.
                Py_ssize_t p = site.scan.tmp_pattern_info;
                if (p == i && pattern_before >= 0 && pattern_before != last_item) p = pattern_before;
                if (p == last_item) p = -1;
                return Opening{i, last_item, p};
            };
            auto on_end = [&](const std::vector<Py_ssize_t> &, const std::vector<Py_ssize_t> &plot) {
                const Opening at = was_open ? site.open : opening_here();
                if (build) site.plots.append(build_plot(lines, plot, at, m, classify));
                ++site.count;
                site.open = Opening{};
            };
            // The item test runs inside the step; note the item line first.
            if (!facts.vbt_error() && facts.item()) last_item = i;
            qv::plot_scan_step(site.scan, i, Py_ssize_t{-1}, seen, on_end);
            if (!was_open && site.scan.startPlot) site.open = opening_here();
        }
    }

    py::list per_site, unclosed;
    for (std::size_t k = 0; k < sites.size(); ++k) {
        if (build) per_site.append(sites[k].plots);
        else per_site.append(py::int_(sites[k].count));
        if (sites[k].scan.startPlot) unclosed.append(py::make_tuple(py::int_(k), py::int_(sites[k].open.line + 1)));
    }
    return py::make_tuple(per_site, unclosed);
}

// announced_sites(lines, site_label) -> {text: number or None}: the site
// texts of the lines that start with the site label, as printed after it up to
// the line end (the text a site line is compared with, so leading zeros and
// trailing spaces stay), each with its number, or None where it is none.
py::object announced_sites(PyObject *const *args) {
    py::handle lines_arg = args[0], label = args[1];
    if (!PyList_Check(lines_arg.ptr()) || !is_exact_str(label))
        throw py::type_error("expected a list of lines and a str");
    py::dict found;
    const Py_ssize_t label_length = PyUnicode_GET_LENGTH(label.ptr());
    if (label_length == 0) return found;
    const py::tuple lines = qv::frozen_lines(lines_arg);
    const Py_ssize_t count = PyTuple_GET_SIZE(lines.ptr());
    for (Py_ssize_t i = 0; i < count; ++i) {
        py::handle line = qv::str_line(lines, i);
        // Site lines are compared without their last character (the line end).
        const Py_ssize_t end = PyUnicode_GET_LENGTH(line.ptr()) - 1;
        if (end < label_length) continue;
        const Py_ssize_t starts = PyUnicode_Tailmatch(line.ptr(), label.ptr(), 0, end, -1);
        if (starts < 0) qv::throw_python_error();
        if (starts == 0) continue;
        py::object text = qv::steal_or_throw(PyUnicode_Substring(line.ptr(), label_length, end));
        const int seen = PyDict_Contains(found.ptr(), text.ptr());
        if (seen < 0) qv::throw_python_error();
        if (seen == 1) continue;
        PyObject *number = PyNumber_Long(text.ptr());
        if (!number) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) qv::throw_python_error();
            PyErr_Clear();
            number = Py_NewRef(Py_None);
        }
        found[text] = py::reinterpret_steal<py::object>(number);
    }
    return found;
}

py::object read_plots(PyObject *const *args) { return scan_plots(args, true); }
py::object count_plots(PyObject *const *args) { return scan_plots(args, false); }

template <py::object (*Impl)(PyObject *const *), Py_ssize_t N>
PyObject *entry(PyObject *, PyObject *const *args, Py_ssize_t nargs) noexcept {
    if (nargs != N) {
        PyErr_Format(PyExc_TypeError, "expected %zd arguments, got %zd", N, nargs);
        return nullptr;
    }
    return qv::boundary([&] { return Impl(args); });
}

PyMethodDef methods[] = {
    {"read_plots", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<read_plots, 9>)),
     METH_FASTCALL,
     "read_plots(lines, sites, item_match, site_label, pattern_name, plot_start, plot_end, pass_match, "
     "fail_match, /)\n--\n\nThe plots of each site, and the plots still open at the end."},
    {"count_plots", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<count_plots, 9>)),
     METH_FASTCALL,
     "count_plots(lines, sites, item_match, site_label, pattern_name, plot_start, plot_end, pass_match, "
     "fail_match, /)\n--\n\nThe number of plots of each site, and the plots still open at the end."},
    {"announced_sites", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<announced_sites, 2>)),
     METH_FASTCALL, "announced_sites(lines, site_label, /)\n--\n\nThe site texts the lines announce, with their numbers."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "_plotreader", "Native datalog plot reader behind quorvane.plots.", 0, methods, slots,
    nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace plotreader

extern "C" PYBIND11_EXPORT PyObject *PyInit__plotreader() { return PyModuleDef_Init(&plotreader::definition); }
