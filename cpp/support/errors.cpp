// The interpreter's wordings for failures our code raises by hand, and the
// small namespace helpers the function bodies share.
#include "support.hpp"

namespace qv {

void restore_python_error() noexcept {
    try {
        throw;
    } catch (py::error_already_set &e) {
        e.restore();
    } catch (const py::builtin_exception &e) {
        e.set_error();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

void raise_unpack_error(Py_ssize_t expected, Py_ssize_t found) {
    if (found > expected) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
    } else {
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found,
                     found == 1 ? "" : "s");
    }
    throw_python_error();
}

void raise_unbound_local(const char *name) {
    PyErr_Format(PyExc_UnboundLocalError, "local variable '%s' referenced before assignment", name);
    throw_python_error();
}

std::vector<py::object> unpack(py::handle iterable, Py_ssize_t n) {
    std::vector<py::object> items;
    items.reserve(static_cast<std::size_t>(n));
    PyObject *obj = iterable.ptr();
    if (PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(obj);
        if (size != n) raise_unpack_error(n, size);
        PyObject **data = PySequence_Fast_ITEMS(obj);
        for (Py_ssize_t i = 0; i < n; ++i) items.push_back(py::reinterpret_borrow<py::object>(data[i]));
        return items;
    }
    py::object iter = steal_or_throw(PyObject_GetIter(obj));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PyIter_Next(iter.ptr());
        if (!item) {
            if (PyErr_Occurred()) throw_python_error();
            raise_unpack_error(n, i);
        }
        items.push_back(py::reinterpret_steal<py::object>(item));
    }
    PyObject *extra = PyIter_Next(iter.ptr());
    if (extra) {
        Py_DECREF(extra);
        raise_unpack_error(n, n + 1);
    }
    if (PyErr_Occurred()) throw_python_error();
    return items;
}

py::object global(py::handle module, py::handle name) {
    PyObject *globals = PyModule_GetDict(module.ptr());
    if (!globals) throw_python_error();
    PyObject *value = PyDict_GetItemWithError(globals, name.ptr());
    if (value) return py::reinterpret_borrow<py::object>(value);
    if (PyErr_Occurred()) throw_python_error();
    // Like a function body: the builtins are those the module's globals name.
    PyObject *builtins = PyDict_GetItemString(globals, "__builtins__");
    if (builtins && PyModule_Check(builtins)) builtins = PyModule_GetDict(builtins);
    value = builtins && PyDict_Check(builtins) ? PyDict_GetItemWithError(builtins, name.ptr()) : nullptr;
    if (value) return py::reinterpret_borrow<py::object>(value);
    if (PyErr_Occurred()) throw_python_error();
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
    throw_python_error();
}

py::object global(py::handle module, const char *name) {
    return global(module, py::str(name));
}

void print(py::handle print_fn, std::initializer_list<py::handle> args) {
    py::tuple tuple(args.size());
    std::size_t i = 0;
    for (py::handle arg : args) tuple[i++] = py::reinterpret_borrow<py::object>(arg);
    steal_or_throw(PyObject_Call(print_fn.ptr(), tuple.ptr(), nullptr));
}

py::object make_class(const char *name, py::handle base, py::handle module,
                      const std::vector<std::pair<const char *, py::object>> &body) {
    py::dict ns;
    ns["__module__"] = module.attr("__name__");
    ns["__qualname__"] = py::str(name);
    for (const auto &[key, value] : body) ns[key] = value;
    // The metaclass of a one-base class statement is the base's type.
    py::handle metaclass = reinterpret_cast<PyObject *>(Py_TYPE(base.ptr()));
    return metaclass(py::str(name), py::make_tuple(base), ns);
}

}  // namespace qv
