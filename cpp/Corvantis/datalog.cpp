// Reading a datalog, and the site enumeration.
#include "corvantis.hpp"

namespace corvantis {

py::list read_datalog_lines(py::handle path) {
    py::object file = state().open(path, py::str("r"), py::arg("encoding") = "utf-8");
    // `with` semantics: __enter__, then __exit__ on every path (an exception is
    // passed in and may be suppressed by the file's __exit__, as in Python).
    py::object mgr_type = py::reinterpret_borrow<py::object>(py::type::handle_of(file));
    py::object exit = mgr_type.attr("__exit__");
    py::object f = mgr_type.attr("__enter__")(file);
    py::object lines;
    try {
        lines = f.attr("readlines")();
    } catch (py::error_already_set &e) {
        py::object suppressed = exit(file, e.type(), e.value(), e.trace());
        if (PyObject_IsTrue(suppressed.ptr()) != 1) throw;
        return py::list();
    }
    exit(file, py::none(), py::none(), py::none());
    if (!PyList_Check(lines.ptr())) lines = py::list(lines);
    return py::reinterpret_borrow<py::list>(lines);
}

namespace {

py::object getAllSiteNums(py::handle, const qv::Args &args) {
    py::handle each_file = args[0], TER_keyword = args[1];
    static PyObject *key = PyUnicode_InternFromString("SiteNum");  // process lifetime
    py::list nums;
    py::list lines = read_datalog_lines(each_file);
    const py::str empty("");
    for (py::handle line : lines) {
        py::object label = qv::steal_or_throw(PyObject_GetItem(TER_keyword.ptr(), key));
        int differs = PyObject_RichCompareBool(label.ptr(), empty.ptr(), Py_NE);
        if (differs < 0) qv::throw_python_error();
        if (!differs) continue;
        py::object again = qv::steal_or_throw(PyObject_GetItem(TER_keyword.ptr(), key));
        int has = PySequence_Contains(line.ptr(), again.ptr());
        if (has < 0) qv::throw_python_error();
        if (!has) continue;
        // line[len(SiteNum):].strip() -> int; a fixed offset from the start.
        py::object third = qv::steal_or_throw(PyObject_GetItem(TER_keyword.ptr(), key));
        Py_ssize_t offset = PyObject_Length(third.ptr());
        if (offset < 0) qv::throw_python_error();
        py::object tail = qv::steal_or_throw(PySequence_GetSlice(line.ptr(), offset, PY_SSIZE_T_MAX));
        py::object stripped = tail.attr("strip")();
        nums.append(qv::steal_or_throw(PyNumber_Long(stripped.ptr())));
    }
    py::object unique = qv::steal_or_throw(PySequence_List(qv::steal_or_throw(PySet_New(nums.ptr())).ptr()));
    py::list order = py::reinterpret_borrow<py::list>(unique);
    py::object result = py::str("");
    bool first = true;
    for (py::handle n : order) {
        py::object text = py::str(n);
        result = first ? text : qv::steal_or_throw(PyNumber_Add(
                                    qv::steal_or_throw(PyNumber_Add(result.ptr(), py::str(",").ptr())).ptr(),
                                    text.ptr()));
        first = false;
    }
    return result;
}

const qv::FunctionSpec spec{"getAllSiteNums", nullptr, {"each_file", "TER_keyword"}, getAllSiteNums};

}  // namespace

py::object make_getAllSiteNums(py::module_ m) { return qv::make_function(spec, m); }

}  // namespace corvantis
