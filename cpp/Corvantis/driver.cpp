// getDatalogInfo: decides the (datalog, site) pairs, has each pair's plots
// written into one new workbook and saves it under a time-stamped name.
#include "corvantis.hpp"
#include "grid.hpp"

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

bool attr_is(py::handle owner, const char *name, const py::object &expected) {
    py::object v = py::reinterpret_steal<py::object>(PyObject_GetAttrString(owner.ptr(), name));
    if (!v) PyErr_Clear();
    return v && v.is(expected);
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

// Moves the finished temporary file to "<stem>.xlsx", or to "<stem>_1.xlsx",
// "<stem>_2.xlsx", ... when an earlier run already took the name. A hard link
// claims a name atomically; where links are unavailable, a free name is taken
// by rename.
py::object claim_name(py::handle os, py::handle tmp, py::handle stem) {
    for (long n = 0;; ++n) {
        py::str candidate = n == 0 ? py::str("{}.xlsx").format(stem) : py::str("{}_{}.xlsx").format(stem, n);
        try {
            os.attr("link")(tmp, candidate);
            os.attr("unlink")(tmp);
            return candidate;
        } catch (py::error_already_set &e) {
            if (e.matches(PyExc_FileExistsError)) continue;
            if (!e.matches(PyExc_OSError)) throw;
        }
        if (os.attr("path").attr("lexists")(candidate).cast<bool>()) continue;
        os.attr("rename")(tmp, candidate);
        return candidate;
    }
}

// Saves through `save(tmp)` into a temporary file next to the target, so an
// interrupted or failed save never leaves a partial file under the name
// returned.
template <class Save>
py::object save_atomically(py::handle stem, py::handle cwd, Save &&save) {
    py::module_ os = py::module_::import("os");
    py::tuple made = py::module_::import("tempfile").attr("mkstemp")(
        py::arg("prefix") = ".shmplot_", py::arg("suffix") = ".xlsx.part", py::arg("dir") = cwd);
    os.attr("close")(made[0]);
    py::object tmp = made[1];
    try {
        save(tmp);
        return claim_name(os, tmp, stem);
    } catch (...) {
        py::error_scope keep;  // the original error reaches the caller
        if (!py::reinterpret_steal<py::object>(PyObject_CallMethod(os.ptr(), "unlink", "O", tmp.ptr())))
            PyErr_Clear();
        throw;
    }
}

py::object getDatalogInfo(py::handle m, const qv::Args &args) {
    py::handle TER_keyword = args[0], file_paths = args[1], site_lbl = args[2];
    py::object interval_columns = py::reinterpret_borrow<py::object>(args[3]);
    if (!PyLong_Check(interval_columns.ptr())) {
        if (!PyNumber_Check(interval_columns.ptr()))
            raise_incorrect_type("interval_columns", "int", interval_columns, false);
        interval_columns = qv::steal_or_throw(PyNumber_Long(interval_columns.ptr()));
    }
    require_exact_str("file_paths", file_paths);
    require_exact_str("site_lbl", site_lbl);

    py::object totalsiteCnt = py::int_(0);
    py::list str_sites;
    py::list site_lbl_list = py::reinterpret_borrow<py::list>(
        qv::steal_or_throw(PyUnicode_Split(site_lbl.ptr(), py::str(";").ptr(), -1)));
    py::list TER_files = py::reinterpret_borrow<py::list>(
        qv::steal_or_throw(PyUnicode_Split(file_paths.ptr(), py::str(";").ptr(), -1)));
    while (py::len(site_lbl_list) < py::len(TER_files)) site_lbl_list.append(py::str(""));

    const std::size_t files = py::len(TER_files);
    // On the collecting path each datalog is read once for the whole run.
    DatalogCache cache;
    const bool collect = can_collect(m);
    for (std::size_t i = 0; i < files; ++i) {
        py::object label = site_lbl_list[i];
        if (label.equal(py::str(""))) {
            py::object enumerate = qv::global(m, "getAllSiteNums");
            label = collect && is_own_site_enumeration(enumerate)
                        ? site_nums_of(cache.lines(TER_files[i], true), TER_keyword)
                        : enumerate(TER_files[i], TER_keyword);
        }
        totalsiteCnt = totalsiteCnt + py::int_(py::len(call_method(label, "split", py::str(","))));
        str_sites.append(label);
    }
    qv::print(state().print, {py::str("totalsiteCnt= ") + py::str(totalsiteCnt)});

    auto time_stamped_stem = [&]() {
        py::object time = qv::global(m, "time");
        py::object stamp =
            time.attr("strftime")("%Y_%m_%d_%H_%M_%S", time.attr("localtime")(time.attr("time")()));
        py::object cwd = qv::global(m, "os").attr("getcwd")();
        py::object stem = cwd + py::str("/shmplot_") + stamp;
        return std::make_pair(cwd, stem);
    };

    // Every pair in order: siteCnt runs across all datalogs.
    auto for_each_pair = [&](auto &&body) {
        long siteCnt = 0;
        std::size_t index = 0;
        for (py::handle each_file : TER_files) {
            py::object sites = call_method(str_sites[index], "split", py::str(","));
            ++index;
            for (py::handle each_site : sites) {
                ++siteCnt;
                if (!body(index - 1, each_file, each_site, py::int_(siteCnt))) return false;
            }
        }
        return true;
    };

    if (collect && can_collect(m)) {
        // Whether a datalog comes again later in the list: its bytes are kept.
        std::vector<bool> again(files, false);
        for (std::size_t i = 0; i < files; ++i)
            for (std::size_t j = i + 1; j < files && !again[i]; ++j) again[i] = TER_files[i].equal(TER_files[j]);
        CellGrid grid;
        const bool collected = for_each_pair([&](std::size_t index, py::handle each_file, py::handle each_site,
                                                 py::object siteCnt) {
            py::list lines = cache.lines(each_file, again[index]);
            return run_process_log(m, each_file, each_site, py::none(), siteCnt, totalsiteCnt, TER_keyword,
                                   interval_columns, &grid, lines);
        });
        cache = DatalogCache();  // the datalogs' text is not needed for saving
        if (collected) {
            auto [cwd, stem] = time_stamped_stem();
            return save_atomically(stem, cwd, [&](py::handle tmp) { grid.save(tmp); });
        }
    }

    py::object xls = qv::global(m, "openpyxl").attr("Workbook")();
    for_each_pair([&](std::size_t, py::handle each_file, py::handle each_site, py::object siteCnt) {
        qv::global(m, "processLog")(each_file, each_site, xls, siteCnt, totalsiteCnt, TER_keyword,
                                    interval_columns);
        return true;
    });
    auto [cwd, stem] = time_stamped_stem();
    return save_atomically(stem, cwd, [&](py::handle tmp) { xls.attr("save")(tmp); });
}

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

}  // namespace corvantis
