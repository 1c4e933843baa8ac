// Module creation and execution with the one-interpreter and
// no-re-initialisation guards.
#include "support.hpp"

namespace qv {
namespace {

// Copies spec.<attribute> onto the module when the spec has it.
void copy_spec_attribute(PyObject *spec, PyObject *module, const char *from, const char *to,
                         bool skip_none) {
    PyObject *value = PyObject_GetAttrString(spec, from);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
        PyErr_Clear();
        return;
    }
    py::object owned = py::reinterpret_steal<py::object>(value);
    if (skip_none && value == Py_None) return;
    if (PyObject_SetAttrString(module, to, value) < 0) throw_python_error();
}

void warn_on_version_mismatch(const char *full_name) {
    const int run_major = static_cast<int>((Py_Version >> 24) & 0xFF);
    const int run_minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (run_major == PY_MAJOR_VERSION && run_minor == PY_MINOR_VERSION) return;
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                         "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                         PY_MAJOR_VERSION, PY_MINOR_VERSION, full_name, "does not match", run_major,
                         run_minor) < 0)
        throw_python_error();
}

}  // namespace

PyObject *guarded_create(ModuleGuard &guard, PyObject *spec) noexcept {
    // The interpreter check runs on the bare C API: pybind11's error handling
    // takes the GIL through PyGILState, which belongs to the main interpreter
    // and would block forever when raised from another one.
    PyInterpreterState *interp = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interp);
    if (id < 0) return nullptr;
    if (guard.interpreter_id == -1) {
        guard.interpreter_id = id;
    } else if (guard.interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    return boundary([&]() -> py::object {
        if (guard.module) return py::reinterpret_borrow<py::object>(guard.module);

        py::object name = steal_or_throw(PyObject_GetAttrString(spec, "name"));
        py::object module = steal_or_throw(PyModule_NewObject(name.ptr()));
        copy_spec_attribute(spec, module.ptr(), "loader", "__loader__", false);
        copy_spec_attribute(spec, module.ptr(), "origin", "__file__", false);
        copy_spec_attribute(spec, module.ptr(), "parent", "__package__", false);
        copy_spec_attribute(spec, module.ptr(), "submodule_search_locations", "__path__", true);
        return module;
    });
}

int guarded_exec(ModuleGuard &guard, PyObject *module, void (*body)(py::module_ module)) noexcept {
    if (guard.module) {
        if (guard.module == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     guard.short_name);
        return -1;
    }
    guard.module = Py_NewRef(module);
    const int status = boundary_int([&] {
        py::module_ mod = py::reinterpret_borrow<py::module_>(module);
        py::object builtins = py::module_::import("builtins");
        if (PyObject_SetAttrString(module, "__builtins__", builtins.ptr()) < 0) throw_python_error();
        warn_on_version_mismatch(guard.full_name);

        PyObject *modules = PyImport_GetModuleDict();
        const int present = PyDict_Contains(modules, py::str(guard.full_name).ptr());
        if (present < 0) throw_python_error();
        if (!present && PyDict_SetItemString(modules, guard.full_name, module) < 0) throw_python_error();

        body(mod);
    });
    if (status < 0) {
        // Released, not registered: a later import starts from the beginning.
        Py_CLEAR(guard.module);
        if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "init %s", guard.full_name);
    }
    return status;
}

}  // namespace qv
