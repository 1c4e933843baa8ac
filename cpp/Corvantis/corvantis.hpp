// Shared declarations of the datalog module.
#pragma once

#include "support.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvantis {

namespace py = pybind11;

inline constexpr const char *module_name = "quorvane.Source.Corvantis";

// Process-wide state (the module is initialised once per process, in one
// interpreter). `open` and `print` are the builtins looked up once at
// initialisation; the functions use these objects from then on. The other
// members are the library objects as the module found them at import: the
// native shortcuts compare against them to know that nothing was rebound or
// monkeypatched since.
struct State {
    py::object open;
    py::object print;

    py::object re_module, re_match, re_compile;
    py::object re_pattern_type;   // the compiled-pattern class (a C type scripts cannot patch)
    py::object re_default_flags;  // flags of a str pattern compiled without flags
    py::object re_internal_compile;  // what re.match compiles through
    bool re_trusted = false;         // match and compile are the re module's own functions
    py::object openpyxl_module, workbook_class, workbook_save, worksheet_class, worksheet_cell;
    py::object pattern_fill;
    py::object process_log;  // the module's own processLog function object
    py::object get_all_site_nums;  // a weak reference to its own getAllSiteNums
};
State &state();  // module.cpp

// `getattr(owner, name) is expected`; a missing or failing attribute is not.
inline bool attr_is(py::handle owner, const char *name, const py::object &expected) {
    py::object value = py::reinterpret_steal<py::object>(PyObject_GetAttrString(owner.ptr(), name));
    if (!value) PyErr_Clear();
    return value && value.is(expected);
}

// Factories of the four registered functions, in binding order.
py::object make_getKeyWordFromSettingFile(py::module_ m);  // keywords.cpp
py::object make_getDatalogInfo(py::module_ m);             // driver.cpp
py::object make_processLog(py::module_ m);                 // extract.cpp
py::object make_getAllSiteNums(py::module_ m);             // datalog.cpp
// The command line's internal entries (bound after the four): driver.cpp's
// save into a folder and join of recorded pairs, site_pass.cpp's recording scan.
py::object make_extract_into(py::module_ m);
py::object make_save_recorded(py::module_ m);
py::object make_record_plots(py::module_ m);
py::object make_recorded_rows(py::module_ m);  // recording.cpp

// datalog.cpp: `with open(path, "r", encoding="utf-8") as f: lines = f.readlines()`.
py::list read_datalog_lines(py::handle path);

// One read of each datalog per run, for the driver's collecting path: every
// site of a datalog, and its site enumeration, come from the same version of
// the file even while a tester is still writing it. The text is split into
// lines exactly as reading it in text mode would.
class DatalogCache {
public:
    // The lines of the datalog at `path` (an exact str). `again`: the run
    // reads this datalog again later, so its bytes are kept until then.
    py::list lines(py::handle path, bool again);

private:
    py::dict bytes_;  // path -> the file's bytes, while needed again
    py::object last_path_;
    py::list last_lines_;
};

// getAllSiteNums on lines already read.
py::object site_nums_of(const py::list &lines, py::handle TER_keyword);

// ---------------------------------------------------------------------------
// Plot extraction (shared by processLog and the driver's collecting path)
// ---------------------------------------------------------------------------

class CellGrid;  // native cell collector, see grid.hpp

// The widest plot row a run wrote: its datalog (as passed), 1-based line
// number and its cells (row label included). The first of equally wide rows
// is kept.
struct WidestRow {
    py::object file;
    Py_ssize_t line = 0;
    Py_ssize_t cells = 0;

    void note(py::handle each_file, Py_ssize_t line_index, Py_ssize_t n) {
        if (n <= cells) return;
        cells = n;
        line = line_index + 1;
        file = py::reinterpret_borrow<py::object>(each_file);
    }
};

// The run the calling thread's driver is doing, so that processLog reports
// its rows when it writes into that run's own workbook or grid (also when a
// script's wrapper stands between the two). Set for the duration of the run.
struct RunWatch {
    PyObject *workbook = nullptr;
    const CellGrid *grid = nullptr;
    WidestRow widest;
};
// The rows record of the current run if it is the one writing into `grid` (or,
// with `grid` null, into the workbook `xls`); null otherwise.
WidestRow *watched_rows(const CellGrid *grid, py::handle xls);  // driver.cpp

// extract.cpp: runs processLog's scan of one datalog for one site. With `grid` null every
// cell goes through the workbook's `cell` API; otherwise the cells are
// collected into `grid` and `xls` is not touched. Returns false (having
// observably done nothing but read the datalog) when the collecting mode meets
// something it cannot reproduce exactly; the caller then takes the cell-API
// path instead. `lines`, when given, are the datalog's lines already read.
bool run_process_log(py::handle module, py::handle each_file, py::handle each_site, py::handle xls,
                     py::handle siteCnt, py::handle totalsiteCnt, py::handle dict_keyword,
                     py::handle interval_columns, CellGrid *grid, py::handle lines = py::handle());

// site_pass.cpp: the collecting path for the sites `sites` of one datalog at
// once (pairs first_site_count, first_site_count + 1, ...): one pass over its
// lines records every site's plot groups, replayed into `grid` in site order,
// so the grid takes exactly the calls one run_process_log per site makes.
// Nullopt when this does not apply (the caller then runs run_process_log per
// site); false when the cells cannot be collected (the cell API's turn).
std::optional<bool> collect_sites(py::handle module, py::handle each_file, const py::list &sites,
                                  long first_site_count, py::handle totalsiteCnt, py::handle dict_keyword,
                                  py::handle interval_columns, CellGrid &grid, const py::list &lines);

}  // namespace corvantis
