// Reading a datalog, and the site enumeration.
#include "corvantis.hpp"
#include "plot_scan.hpp"

#include <cstring>

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

// `with open(path, "rb") as f: data = f.read()`
py::bytes read_datalog_bytes(py::handle path) {
    py::object file = state().open(path, py::str("rb"));
    py::object data;
    try {
        data = file.attr("read")();
    } catch (py::error_already_set &) {
        py::error_scope keep;
        if (!py::reinterpret_steal<py::object>(PyObject_CallMethod(file.ptr(), "close", nullptr))) PyErr_Clear();
        throw;
    }
    file.attr("close")();
    if (!PyBytes_CheckExact(data.ptr())) throw py::type_error("datalog read did not give bytes");
    return py::reinterpret_borrow<py::bytes>(data);
}

// The lines text mode gives: UTF-8, "\r\n" and "\r" read as "\n", each line
// ending with its "\n". Null (no error set) when the bytes are not UTF-8.
// Lines are cut at bytes that never occur inside a multi-byte character, so
// decoding line by line accepts exactly what decoding the whole does.
py::object split_lines(const py::bytes &data) {
    const char *p = PyBytes_AS_STRING(data.ptr());
    const Py_ssize_t n = PyBytes_GET_SIZE(data.ptr());
    py::list lines;
    std::string line;
    auto emit = [&](const char *from, Py_ssize_t size) {
        PyObject *text = PyUnicode_DecodeUTF8(from, size, "strict");
        if (!text) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) qv::throw_python_error();
            PyErr_Clear();
            return false;
        }
        const int failed = PyList_Append(lines.ptr(), text);
        Py_DECREF(text);
        if (failed) qv::throw_python_error();
        return true;
    };
    Py_ssize_t start = 0;
    for (;;) {
        const void *hit = std::memchr(p + start, '\n', static_cast<std::size_t>(n - start));
        const Py_ssize_t lf = hit ? static_cast<const char *>(hit) - p : n;
        const void *cr = std::memchr(p + start, '\r', static_cast<std::size_t>(lf - start));
        if (!cr) {
            if (lf == n) break;
            if (!emit(p + start, lf + 1 - start)) return py::object();
            start = lf + 1;
            continue;
        }
        const Py_ssize_t at = static_cast<const char *>(cr) - p;
        line.assign(p + start, static_cast<std::size_t>(at - start));
        line += '\n';
        if (!emit(line.data(), static_cast<Py_ssize_t>(line.size()))) return py::object();
        start = at + 1 + (at + 1 < n && p[at + 1] == '\n');
    }
    if (start < n && !emit(p + start, n - start)) return py::object();
    return lines;
}

void forget(const py::dict &held, py::handle path) {
    const int has = PyDict_Contains(held.ptr(), path.ptr());
    if (has < 0 || (has == 1 && PyDict_DelItem(held.ptr(), path.ptr()) < 0)) qv::throw_python_error();
}

}  // namespace

py::list DatalogCache::lines(py::handle path, bool again) {
    if (last_path_ && PyUnicode_Compare(last_path_.ptr(), path.ptr()) == 0) {
        if (!again) forget(bytes_, path);
        return last_lines_;
    }
    last_path_ = py::object();
    last_lines_ = py::list();  // the previous datalog's lines go now
    PyObject *held = PyDict_GetItemWithError(bytes_.ptr(), path.ptr());
    if (!held && PyErr_Occurred()) qv::throw_python_error();
    py::bytes data = held ? py::reinterpret_borrow<py::bytes>(held) : read_datalog_bytes(path);
    py::object lines = split_lines(data);
    // Not UTF-8: the text-mode read raises its own error.
    py::list result = lines ? py::reinterpret_borrow<py::list>(lines) : read_datalog_lines(path);
    if (again) bytes_[path] = data;
    else forget(bytes_, path);
    last_path_ = py::reinterpret_borrow<py::object>(path);
    last_lines_ = result;
    return result;
}

py::object site_nums_of(const py::list &lines, py::handle TER_keyword) {
    static PyObject *key = PyUnicode_InternFromString("SiteNum");  // process lifetime
    py::list nums;
    const py::str empty("");
    // The table's lookups may run outside code that changes the list.
    for (py::handle line : qv::frozen_lines(lines)) {
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

namespace {

py::object getAllSiteNums(py::handle, const qv::Args &args) {
    return site_nums_of(read_datalog_lines(args[0]), args[1]);
}

const qv::FunctionSpec spec{"getAllSiteNums", nullptr, {"each_file", "TER_keyword"}, getAllSiteNums};

}  // namespace

py::object make_getAllSiteNums(py::module_ m) { return qv::make_function(spec, m); }

}  // namespace corvantis
