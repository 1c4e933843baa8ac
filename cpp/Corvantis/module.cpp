// Module frame of quorvane.Source.Corvantis: guards, library names, the four
// functions, and the main-program block.
#include "corvantis.hpp"

namespace corvantis {
namespace {

qv::ModuleGuard guard{module_name, "Corvantis"};

State *the_state = nullptr;

// `from openpyxl.styles import PatternFill`, with the statement's fallback to a
// submodule and its ImportError wording.
py::object import_pattern_fill() {
    py::object styles = py::module_::import("openpyxl.styles");
    PyObject *fill = PyObject_GetAttrString(styles.ptr(), "PatternFill");
    if (fill) return py::reinterpret_steal<py::object>(fill);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) qv::throw_python_error();
    PyErr_Clear();
    PyObject *sub = PyImport_ImportModule("openpyxl.styles.PatternFill");
    if (sub) return py::reinterpret_steal<py::object>(sub);
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) qv::throw_python_error();
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name %S", py::str("PatternFill").ptr());
    qv::throw_python_error();
}

void run_main_block(py::module_ m) {
    m.attr("json") = py::module_::import("json");
    py::object file = state().open(py::str("SHM_keywords_setting.json"));
    m.attr("config_file") = file;
    py::object details;
    // `with open(...) as config_file:` -- closed on every path.
    try {
        details = m.attr("json").attr("load")(file);
    } catch (py::error_already_set &) {
        py::error_scope keep;  // the original error survives close()
        if (!py::reinterpret_steal<py::object>(PyObject_CallMethod(file.ptr(), "close", nullptr))) PyErr_Clear();
        throw;
    }
    file.attr("close")();
    m.attr("config_details") = details;
    m.attr("TER_keyword") = qv::global(m, "getKeyWordFromSettingFile")(details);
    qv::print(state().print, {py::str("Corvantis module loaded. Use getDatalogInfo() to run.")});
}

void exec_body(py::module_ m) {
    if (!the_state) the_state = new State{};  // process lifetime, never torn down
    py::module_ builtins = py::module_::import("builtins");
    the_state->open = builtins.attr("open");
    the_state->print = builtins.attr("print");
    qv::init_function_type(m);

    m.attr("os") = py::module_::import("os");
    m.attr("re") = py::module_::import("re");
    m.attr("time") = py::module_::import("time");
    m.attr("openpyxl") = py::module_::import("openpyxl");
    m.attr("PatternFill") = import_pattern_fill();

    // The library objects as found now; native shortcuts check against them.
    the_state->re_module = m.attr("re");
    the_state->re_match = m.attr("re").attr("match");
    the_state->re_compile = m.attr("re").attr("compile");
    the_state->re_pattern_type = m.attr("re").attr("Pattern");
    the_state->re_internal_compile = py::getattr(m.attr("re"), "_compile", py::none());
    // Functions of the re module itself, not wrappers a script installed
    // before this import: only then is re.match the same as compiling with
    // re.compile and matching.
    auto own_function = [&](const py::object &f) {
        if (!PyFunction_Check(f.ptr())) return false;
        return PyFunction_GetGlobals(f.ptr()) == PyModule_GetDict(the_state->re_module.ptr());
    };
    the_state->re_trusted = own_function(the_state->re_match) && own_function(the_state->re_compile) &&
                            (the_state->re_internal_compile.is_none() ||
                             own_function(the_state->re_internal_compile));
    the_state->re_default_flags = py::int_(m.attr("re").attr("UNICODE"));
    the_state->openpyxl_module = m.attr("openpyxl");
    the_state->workbook_class = m.attr("openpyxl").attr("Workbook");
    the_state->workbook_save = the_state->workbook_class.attr("save");
    the_state->worksheet_class = py::module_::import("openpyxl.worksheet.worksheet").attr("Worksheet");
    the_state->worksheet_cell = the_state->worksheet_class.attr("cell");
    the_state->pattern_fill = m.attr("PatternFill");

    m.attr("getKeyWordFromSettingFile") = make_getKeyWordFromSettingFile(m);
    m.attr("getDatalogInfo") = make_getDatalogInfo(m);
    m.attr("processLog") = make_processLog(m);
    m.attr("getAllSiteNums") = make_getAllSiteNums(m);
    the_state->process_log = m.attr("processLog");
    m.attr("_extract_into") = make_extract_into(m);
    m.attr("_record_plots") = make_record_plots(m);
    m.attr("_save_recorded") = make_save_recorded(m);
    m.attr("_recorded_rows") = make_recorded_rows(m);
    // Weak: a script that deletes the function must be able to free it.
    the_state->get_all_site_nums = qv::steal_or_throw(PyWeakref_NewRef(m.attr("getAllSiteNums").ptr(), nullptr));

    if (py::str(m.attr("__name__")).equal(py::str("__main__"))) run_main_block(m);
}

using Module = qv::GuardedModule<guard, exec_body>;

}  // namespace

State &state() { return *the_state; }

}  // namespace corvantis

extern "C" PYBIND11_EXPORT PyObject *PyInit_Corvantis() { return corvantis::Module::init(); }

// Loading the same file under the name "__main__" (importlib's
// spec_from_file_location) runs the module as the main program; the loader
// looks for the init function under that name.
extern "C" PYBIND11_EXPORT PyObject *PyInit___main__() { return corvantis::Module::init(); }
