// getDatalogInfo: decides the (datalog, site) pairs, has each pair's plots
// written into one new workbook and saves it under a time-stamped name.
#include "corvantis.hpp"
#include "grid.hpp"
#include "plot_sinks.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace corvantis {
namespace {

py::object call_method(py::handle obj, const char *name, py::handle arg) { return obj.attr(name)(arg); }

[[noreturn]] void raise_incorrect_type(const char *param, const char *expected, py::handle obj, bool subclass) {
    py::object message = qv::steal_or_throw(
        PyUnicode_FromFormat("Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param, expected,
                             Py_TYPE(obj.ptr())->tp_name));
    py::object exc = qv::steal_or_throw(PyObject_CallOneArg(PyExc_TypeError, message.ptr()));
#if PY_VERSION_HEX >= 0x030B0000
    // The exact-type rule surprises callers passing a str subclass; say so.
    if (subclass) exc.attr("add_note")("subclasses of built-in types are rejected; pass a plain str");
#else
    (void)subclass;
#endif
    PyErr_SetObject(PyExc_TypeError, exc.ptr());
    qv::throw_python_error();
}

void require_exact_str(const char *param, py::handle obj) {
    if (PyUnicode_CheckExact(obj.ptr())) return;
    raise_incorrect_type(param, "str", obj, PyUnicode_Check(obj.ptr()));
}

bool is_own_site_enumeration(py::handle fn) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject *own = nullptr;
    if (PyWeakref_GetRef(state().get_all_site_nums.ptr(), &own) < 0) qv::throw_python_error();
    const bool same = own == fn.ptr();
    Py_XDECREF(own);
    return same;
#else
    return PyWeakref_GetObject(state().get_all_site_nums.ptr()) == fn.ptr();
#endif
}

// Nothing a script can observe differs when the cells are collected natively:
// processLog, openpyxl and PatternFill are still the module's and the
// library's own, and so are the workbook methods the cell-API path would use.
bool can_collect(py::handle m) {
    const State &s = state();
    PyObject *globals = PyModule_GetDict(m.ptr());
    auto global_is = [&](const char *name, const py::object &expected) {
        PyObject *v = PyDict_GetItemString(globals, name);
        return v && v == expected.ptr();
    };
    return global_is("processLog", s.process_log) && global_is("openpyxl", s.openpyxl_module) &&
           global_is("PatternFill", s.pattern_fill) && attr_is(s.openpyxl_module, "Workbook", s.workbook_class) &&
           attr_is(s.workbook_class, "save", s.workbook_save) &&
           attr_is(s.worksheet_class, "cell", s.worksheet_cell);
}

constexpr long long default_width = 20;

thread_local RunWatch *current = nullptr;

// Makes `watch` the calling thread's current run for its lifetime.
class WatchScope {
public:
    explicit WatchScope(RunWatch &watch) : previous_(current) { current = &watch; }
    ~WatchScope() { current = previous_; }
    WatchScope(const WatchScope &) = delete;
    WatchScope &operator=(const WatchScope &) = delete;

private:
    RunWatch *previous_;
};

bool is_error(py::error_already_set &e, PyObject *type) { return e.matches(type); }

}  // namespace

WidestRow *watched_rows(const CellGrid *grid, py::handle xls) {
    RunWatch *run = current;
    if (!run) return nullptr;
    if (grid) return run->grid == grid ? &run->widest : nullptr;
    return run->workbook && run->workbook == xls.ptr() ? &run->widest : nullptr;
}

namespace {

// `os.open(path, O_WRONLY | O_CREAT | O_EXCL, 0o666)` and close it again: the
// new empty file gets the mode a plain save gives (0666 less the umask).
// False when the name is taken.
bool create_exclusive(py::handle os, py::handle path) {
    const long flags = os.attr("O_WRONLY").cast<long>() | os.attr("O_CREAT").cast<long>() |
                       os.attr("O_EXCL").cast<long>();
    try {
        py::object fd = os.attr("open")(path, flags, 0666);
        os.attr("close")(fd);
        return true;
    } catch (py::error_already_set &e) {
        if (is_error(e, PyExc_FileExistsError)) return false;
        throw;
    }
}

void unlink_quietly(py::handle os, py::handle path) {
    py::error_scope keep;  // an error being raised reaches the caller
    if (!py::reinterpret_steal<py::object>(PyObject_CallMethod(os.ptr(), "unlink", "O", path.ptr())))
        PyErr_Clear();
}

// The saved bytes reach the disk before the file takes its name: after a
// crash the name holds the whole workbook, never an empty file.
void flush_to_disk(py::handle os, py::handle path) {
    py::object fd = os.attr("open")(path, os.attr("O_RDONLY"));
    try {
        os.attr("fsync")(fd);
    } catch (...) {
        py::error_scope keep;
        if (!py::reinterpret_steal<py::object>(PyObject_CallMethod(os.ptr(), "close", "O", fd.ptr())))
            PyErr_Clear();
        throw;
    }
    os.attr("close")(fd);
}

// Moves the finished temporary file to "<stem>.xlsx", or to "<stem>_1.xlsx",
// "<stem>_2.xlsx", ... when another run already took the name. Every claim is
// atomic, so concurrent runs never share or replace a name: a hard link fails
// on a taken name; where links are unavailable (FAT, exFAT, many network and
// FUSE mounts) the name is first created exclusively and the finished file
// then replaces that empty claim.
py::object claim_name(py::handle os, py::handle tmp, py::handle stem) {
    bool links = true;
    for (long n = 0;; ++n) {
        py::str candidate = n == 0 ? py::str("{}.xlsx").format(stem) : py::str("{}_{}.xlsx").format(stem, n);
        if (links) {
            try {
                os.attr("link")(tmp, candidate);
                os.attr("unlink")(tmp);
                return candidate;
            } catch (py::error_already_set &e) {
                if (is_error(e, PyExc_FileExistsError)) continue;
                if (!is_error(e, PyExc_OSError)) throw;
                links = false;
            }
        }
        if (!create_exclusive(os, candidate)) continue;
        try {
            os.attr("replace")(tmp, candidate);
        } catch (...) {
            unlink_quietly(os, candidate);
            throw;
        }
        return candidate;
    }
}

// Saves through `save(tmp)` into a temporary file next to the target, so an
// interrupted or failed save never leaves a partial file under the name
// returned.
template <class Save>
py::object save_atomically(py::handle stem, py::handle folder, Save &&save) {
    py::module_ os = py::module_::import("os");
    py::object tmp;
    do {
        py::object tag = os.attr("urandom")(6).attr("hex")();
        tmp = py::str("{}/.shmplot_{}.xlsx.part").format(folder, tag);
    } while (!create_exclusive(os, tmp));
    try {
        save(tmp);
        flush_to_disk(os, tmp);
        return claim_name(os, tmp, stem);
    } catch (...) {
        unlink_quietly(os, tmp);
        throw;
    }
}

long long as_long_long(py::handle number) {
    long long v = PyLong_AsLongLong(number.ptr());
    if (v == -1 && PyErr_Occurred()) qv::throw_python_error();
    return v;
}

[[noreturn]] void raise_value_error(const py::object &message) {
    PyErr_SetObject(PyExc_ValueError, message.ptr());
    qv::throw_python_error();
}

// A plot row wider than its block would run into the next pair's block (and
// the last pair's into the summary block): refuse instead of saving that.
void refuse_narrow_blocks(const WidestRow &widest, long long width, const char *width_name) {
    if (widest.cells <= width) return;
    raise_value_error(py::str("plot row wider than its block: line {} of {} holds {} points, which with the row "
                              "label need {} columns, but {} is {}; give {} of at least {}")
                          .format(widest.line, widest.file, widest.cells - 1, widest.cells, width_name, width,
                                  width_name, widest.cells));
}

// A workbook larger than spreadsheet programs hold would open with cells
// silently dropped: refuse instead, naming what the run needs.
void refuse_beyond_sheet(long long rows, long long columns, long long pairs, long long width,
                         const WidestRow &widest, const char *width_name) {
    if (columns > sheet_columns) {
        const long long fitting_width = sheet_columns / (pairs + 1);
        const long long summary = std::max<long long>(widest.cells, 1);
        const long long fitting_pairs = width > 0 ? std::max<long long>((sheet_columns - summary) / width, 0) : 0;
        py::str change = widest.cells <= fitting_width
                             ? py::str("give {} of at most {}, or extract fewer datalog-site pairs per run")
                                   .format(width_name, fitting_width)
                             : py::str("extract fewer datalog-site pairs per run (at most {} fit blocks of {} "
                                       "columns)")
                                   .format(fitting_pairs, width);
        raise_value_error(py::str("the workbook would need {:,} columns ({} datalog-site pairs of {} columns, then "
                                  "the summary block), more than the {:,} columns spreadsheet programs hold; {}")
                              .format(columns, pairs, width, sheet_columns, change));
    }
    if (rows > sheet_rows) {
        raise_value_error(py::str("the workbook would need {:,} rows, more than the {:,} rows spreadsheet "
                                  "programs hold (each datalog-site pair stacks its plots down its block); split "
                                  "the datalog into smaller files")
                              .format(rows, sheet_rows));
    }
}

// The last row and column any worksheet of a library workbook reaches.
std::pair<long long, long long> workbook_extent(py::handle xls) {
    long long rows = 0, columns = 0;
    int is_library = PyObject_IsInstance(xls.ptr(), state().workbook_class.ptr());
    if (is_library < 0) qv::throw_python_error();
    if (!is_library) return {rows, columns};
    for (py::handle ws : xls.attr("worksheets")) {
        if (!py::hasattr(ws, "max_row") || !py::hasattr(ws, "max_column")) continue;
        rows = std::max(rows, as_long_long(ws.attr("max_row")));
        columns = std::max(columns, as_long_long(ws.attr("max_column")));
    }
    return {rows, columns};
}

// `interval_columns` as getDatalogInfo takes it: an int unchanged, any other
// number converted with int(), anything else refused.
py::object width_argument(py::handle value) {
    py::object width = py::reinterpret_borrow<py::object>(value);
    if (!PyLong_Check(width.ptr())) {
        if (!PyNumber_Check(width.ptr())) raise_incorrect_type("interval_columns", "int", width, false);
        width = qv::steal_or_throw(PyNumber_Long(width.ptr()));
    }
    return width;
}

// The folder a run saves into (the working directory when `folder` is None)
// and the time-stamped name stem there.
std::pair<py::object, py::object> stem_in(py::handle m, py::handle folder) {
    py::object time = qv::global(m, "time");
    py::object stamp = time.attr("strftime")("%Y_%m_%d_%H_%M_%S", time.attr("localtime")(time.attr("time")()));
    py::object where =
        folder.is_none() ? qv::global(m, "os").attr("getcwd")() : py::reinterpret_borrow<py::object>(folder);
    py::object stem = where + py::str("/shmplot_") + stamp;
    return std::make_pair(where, stem);
}

// One extraction run, shared by getDatalogInfo and the command line's entry:
// every pair's plots into one workbook, checked against the block width and
// the sheet's limits, saved under a free time-stamped name in `folder` (the
// working directory at save time when `folder` is None). With `fit_width` the
// blocks are widened to the widest plot row when it does not fit.
class ExtractionRun {
public:
    ExtractionRun(py::handle m, py::handle keywords, py::handle file_paths, py::handle site_lbl, py::handle folder,
                  bool fit_width, const char *width_name)
        : m_(m), keywords_(keywords), folder_(folder), fit_width_(fit_width), width_name_(width_name),
          collect_(can_collect(m)) {
        plan_pairs(file_paths, site_lbl);
    }

    // A datalog still growing may hold a wider row on the next reading; after
    // a few widenings the last attempt refuses like a given width would.
    py::tuple run(py::object interval_columns) {
        constexpr int attempts = 3;
        for (int k = 1;; ++k) {
            long long needed = 0;
            std::optional<py::tuple> done = attempt(interval_columns, !fit_width_ || k == attempts, needed);
            if (done) return *done;
            interval_columns = py::int_(needed);
        }
    }

private:
    // The datalogs, each one's site list (every site it announces where none
    // was given) and the number of pairs; said as processLog's caller says it.
    void plan_pairs(py::handle file_paths, py::handle site_lbl) {
        py::list site_lbl_list = py::reinterpret_borrow<py::list>(
            qv::steal_or_throw(PyUnicode_Split(site_lbl.ptr(), py::str(";").ptr(), -1)));
        files_ = py::reinterpret_borrow<py::list>(
            qv::steal_or_throw(PyUnicode_Split(file_paths.ptr(), py::str(";").ptr(), -1)));
        while (py::len(site_lbl_list) < py::len(files_)) site_lbl_list.append(py::str(""));
        count_ = py::len(files_);
        for (std::size_t i = 0; i < count_; ++i) {
            py::object label = site_lbl_list[i];
            if (label.equal(py::str(""))) {
                py::object enumerate = qv::global(m_, "getAllSiteNums");
                label = collect_ && is_own_site_enumeration(enumerate)
                            ? site_nums_of(cache_.lines(files_[i], true), keywords_)
                            : enumerate(files_[i], keywords_);
            }
            pair_count_ = pair_count_ + py::int_(py::len(call_method(label, "split", py::str(","))));
            site_lists_.append(label);
        }
        qv::print(state().print, {py::str("totalsiteCnt= ") + py::str(pair_count_)});
        // Whether a datalog comes again later in the list: its bytes are kept.
        again_.assign(count_, false);
        for (std::size_t i = 0; i < count_; ++i)
            for (std::size_t j = i + 1; j < count_ && !again_[i]; ++j) again_[i] = files_[i].equal(files_[j]);
    }

    // Runs all pairs at the given width and saves the result; returns
    // nothing (and the width `needed`) when the blocks have to be widened.
    std::optional<py::tuple> attempt(const py::object &interval_columns, bool last, long long &needed) {
        const Widths widths{as_long_long(pair_count_), as_long_long(interval_columns), last};
        if (collect_ && can_collect(m_)) {
            CellGrid grid;
            RunWatch watch;
            watch.grid = &grid;
            WatchScope scope(watch);
            // A wider attempt may follow: it scans the same copy of each datalog.
            if (collect_pairs(grid, interval_columns, fit_width_ && !last)) {
                if (!fits(widths, watch, grid.last_row(), grid.last_column(), needed)) return std::nullopt;
                cache_ = DatalogCache();  // the datalogs' text is not needed for saving
                return save(interval_columns, [&](py::handle tmp) { grid.save(tmp); });
            }
        }
        return through_cell_api(interval_columns, widths, needed);
    }

    struct Widths {
        long long pairs, width;
        bool last;
    };

    // Whether the run's cells fit its blocks and the sheet: false (with the
    // width `needed`) where the blocks are to be widened, a ValueError where
    // they cannot be.
    bool fits(const Widths &w, const RunWatch &watch, long long rows, long long columns, long long &needed) const {
        if (fit_width_ && !w.last && watch.widest.cells > w.width) {
            needed = watch.widest.cells;
            return false;
        }
        refuse_narrow_blocks(watch.widest, w.width, width_name_);
        refuse_beyond_sheet(rows, columns, w.pairs, w.width, watch.widest, width_name_);
        return true;
    }

    // The collecting path: per datalog, one pass for all its sites; per site
    // where that pass does not apply. False when a pair cannot be collected
    // (the cell API's turn).
    bool collect_pairs(CellGrid &grid, const py::object &interval_columns, bool keep_all) {
        long siteCnt = 0;
        for (std::size_t index = 0; index < count_; ++index) {
            py::handle each_file = files_[index];
            py::object sites = call_method(site_lists_[index], "split", py::str(","));
            py::list lines = cache_.lines(each_file, keep_all || again_[index]);
            if (PyList_CheckExact(sites.ptr())) {
                const py::list &listed = py::reinterpret_borrow<py::list>(sites);
                std::optional<bool> all = collect_sites(m_, each_file, listed, siteCnt + 1, pair_count_, keywords_,
                                                        interval_columns, grid, lines);
                if (all) {
                    if (!*all) return false;
                    siteCnt += static_cast<long>(py::len(listed));
                    continue;
                }
            }
            for (py::handle each_site : sites) {
                ++siteCnt;
                if (!run_process_log(m_, each_file, each_site, py::none(), py::int_(siteCnt), pair_count_, keywords_,
                                     interval_columns, &grid, lines))
                    return false;
            }
        }
        return true;
    }

    // processLog per pair into a library workbook, pair by pair in order
    // (the pair number runs across all datalogs).
    std::optional<py::tuple> through_cell_api(const py::object &interval_columns, const Widths &widths,
                                              long long &needed) {
        py::object xls = qv::global(m_, "openpyxl").attr("Workbook")();
        RunWatch watch;
        watch.workbook = xls.ptr();
        WatchScope scope(watch);
        long siteCnt = 0;
        for (std::size_t index = 0; index < count_; ++index) {
            py::object sites = call_method(site_lists_[index], "split", py::str(","));
            for (py::handle each_site : sites) {
                ++siteCnt;
                qv::global(m_, "processLog")(files_[index], each_site, xls, py::int_(siteCnt), pair_count_,
                                             keywords_, interval_columns);
            }
        }
        auto [rows, columns] = workbook_extent(xls);
        if (!fits(widths, watch, rows, columns, needed)) return std::nullopt;
        return save(interval_columns, [&](py::handle tmp) { xls.attr("save")(tmp); });
    }

    template <class Save>
    py::tuple save(const py::object &interval_columns, Save &&write) {
        auto [where, stem] = stem_in(m_, folder_);
        py::object path = save_atomically(stem, where, std::forward<Save>(write));
        return py::make_tuple(path, interval_columns);
    }

    py::handle m_, keywords_, folder_;
    bool fit_width_;
    const char *width_name_;
    // On the collecting path each datalog is read once for the whole run.
    bool collect_;
    DatalogCache cache_;
    py::list files_, site_lists_;
    std::size_t count_ = 0;
    py::object pair_count_ = py::int_(0);
    std::vector<bool> again_;
};

py::tuple run_extraction(py::handle m, py::handle TER_keyword, py::handle file_paths, py::handle site_lbl,
                         py::object interval_columns, py::handle folder, bool fit_width, const char *width_name) {
    return ExtractionRun(m, TER_keyword, file_paths, site_lbl, folder, fit_width, width_name)
        .run(std::move(interval_columns));
}

py::object getDatalogInfo(py::handle m, const qv::Args &args) {
    py::object interval_columns = width_argument(args[3]);
    require_exact_str("file_paths", args[1]);
    require_exact_str("site_lbl", args[2]);
    py::tuple saved =
        run_extraction(m, args[0], args[1], args[2], interval_columns, py::none(), false, "interval_columns");
    return saved[0];
}

// The command line's entry: saves into `folder` (a str) instead of the working
// directory and, with `interval_columns` None, sizes the blocks from the
// widest plot row (at least the usual 20 columns). Errors name the width as
// `width_option`. Returns (path, width used).
py::object extract_into(py::handle m, const qv::Args &args) {
    py::handle folder = args[0];
    require_exact_str("folder", folder);
    require_exact_str("file_paths", args[2]);
    require_exact_str("site_lbl", args[3]);
    require_exact_str("width_option", args[5]);
    const bool fit = args[4].is_none();
    py::object interval_columns = fit ? py::int_(default_width) : width_argument(args[4]);
    const std::string width_name = py::str(args[5]).cast<std::string>();
    return run_extraction(m, args[1], args[2], args[3], interval_columns, folder, fit, width_name.c_str());
}

// `_save_recorded(folder, recordings, interval_columns, width_option)`: the
// command line's join of pairs scanned in worker processes (each recording
// from `_record_plots`, in pair order) into one workbook, checked and saved
// as `_extract_into` saves. None when the grid cannot take them; the caller
// then extracts the usual way.
py::object save_recorded(py::handle m, const qv::Args &args) {
    py::handle folder = args[0];
    require_exact_str("folder", folder);
    require_exact_str("width_option", args[3]);
    if (!PyList_CheckExact(args[1].ptr())) throw py::type_error("recordings must be a list of bytes");
    py::list recordings = py::reinterpret_borrow<py::list>(args[1]);
    const bool fit = args[2].is_none();
    py::object interval_columns = fit ? py::int_(default_width) : width_argument(args[2]);
    const std::string width_name = py::str(args[3]).cast<std::string>();
    if (!can_collect(m)) return py::none();
    const long long pairs = static_cast<long long>(py::len(recordings));
    qv::print(state().print, {py::str("totalsiteCnt= ") + py::str(py::int_(pairs))});

    for (int k = 0; k < 2; ++k) {
        int overflow = 0;
        const long long width = PyLong_AsLongLongAndOverflow(interval_columns.ptr(), &overflow);
        if (width == -1 && PyErr_Occurred()) qv::throw_python_error();
        if (overflow || width < 0 || width > largest_collected_number) return py::none();
        CellGrid grid;
        WidestRow widest;
        try {
            std::int64_t summary = 0;
            const bool summary_ok = qv::checked_mul(pairs, width, &summary);
            for (long long pair = 0; pair < pairs; ++pair) {
                GridSink sink(grid, GridSink::mul(pair, width), summary, summary_ok);
                replay(recordings[static_cast<std::size_t>(pair)], sink, widest);
            }
        } catch (const NotCollectable &) {
            return py::none();
        }
        if (fit && k == 0 && widest.cells > width) {
            interval_columns = py::int_(widest.cells);
            continue;
        }
        refuse_narrow_blocks(widest, width, width_name.c_str());
        refuse_beyond_sheet(grid.last_row(), grid.last_column(), pairs, width, widest, width_name.c_str());
        auto [where, stem] = stem_in(m, folder);
        py::object path = save_atomically(stem, where, [&](py::handle tmp) { grid.save(tmp); });
        return py::make_tuple(path, interval_columns);
    }
    return py::none();
}

const qv::FunctionSpec save_recorded_spec{
    "_save_recorded", nullptr, {"folder", "recordings", "interval_columns", "width_option"}, save_recorded};

const qv::FunctionSpec extract_into_spec{
    "_extract_into",
    nullptr,
    {"folder", "TER_keyword", "file_paths", "site_lbl", "interval_columns", "width_option"},
    extract_into};

const qv::FunctionSpec spec{
    "getDatalogInfo", nullptr, {"TER_keyword", "file_paths", "site_lbl", "interval_columns"}, getDatalogInfo};

}  // namespace

py::object make_getDatalogInfo(py::module_ m) {
    py::dict annotations;
    annotations["file_paths"] = py::str("str");
    annotations["site_lbl"] = py::str("str");
    annotations["interval_columns"] = py::str("int");
    return qv::make_function(spec, m, py::none(), annotations);
}

py::object make_save_recorded(py::module_ m) { return qv::make_function(save_recorded_spec, m); }

py::object make_extract_into(py::module_ m) {
    return qv::make_function(extract_into_spec, m, py::make_tuple(py::none(), "interval_columns"));
}

}  // namespace corvantis
