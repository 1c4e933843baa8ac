// The one native layer both extension modules stand on: function objects that
// behave like Python functions, argument binding with the interpreter's
// wordings, the module create/exec guards, class creation on library bases and
// the exception boundary every C entry point goes through.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace qv {

namespace py = pybind11;

// ---------------------------------------------------------------------------
// Exception boundary
// ---------------------------------------------------------------------------

// Thrown when a Python error is already set by a raw C API call.
[[noreturn]] inline void throw_python_error() { throw py::error_already_set(); }

// Checks the result of a C API call that returns a new reference.
inline py::object steal_or_throw(PyObject *result) {
    if (!result) throw_python_error();
    return py::reinterpret_steal<py::object>(result);
}

// Sets the Python error that the C++ exception in flight stands for: the
// original Python exception for error_already_set, the mapped type for
// pybind11's builtin exceptions, MemoryError, else RuntimeError. Call only
// from a catch block.
void restore_python_error() noexcept;

// Runs `body` and turns any C++ exception back into the Python exception it
// stands for. Nothing may cross a C slot as a C++ exception.
template <class Body>
PyObject *boundary(Body &&body) noexcept {
    try {
        return body().release().ptr();
    } catch (...) {
        restore_python_error();
    }
    return nullptr;
}

// Same, for entry points that report failure as -1.
template <class Body>
int boundary_int(Body &&body) noexcept {
    try {
        body();
        return 0;
    } catch (...) {
        restore_python_error();
    }
    return -1;
}

// ---------------------------------------------------------------------------
// The interpreter's own wordings for errors our code raises by hand
// ---------------------------------------------------------------------------

// "too many values to unpack (expected N)" / "need more than N value(s) to unpack"
[[noreturn]] void raise_unpack_error(Py_ssize_t expected, Py_ssize_t found);
// "local variable 'NAME' referenced before assignment"
[[noreturn]] void raise_unbound_local(const char *name);
// Unpacks any iterable into exactly `n` objects, as `a, b = obj` does.
std::vector<py::object> unpack(py::handle iterable, Py_ssize_t n);

// ---------------------------------------------------------------------------
// Function objects
// ---------------------------------------------------------------------------

// Resolved arguments of one call, in parameter order (defaults filled in).
// The references are borrowed for the duration of the call.
class Args {
public:
    Args(PyObject *const *items, std::size_t count) : items_(items), count_(count) {}
    py::handle operator[](std::size_t i) const { return items_[i]; }
    std::size_t size() const { return count_; }

private:
    PyObject *const *items_;
    std::size_t count_;
};

// `module` is the module that owns the function: its namespace is where the
// body looks up the library modules and its sibling functions at each call.
using Impl = py::object (*)(py::handle module, const Args &args);

struct FunctionSpec {
    const char *name;
    const char *qualname;  // "Class.method" for methods; the bare name otherwise
    std::vector<const char *> params;
    Impl impl;
    const char *doc = nullptr;
};

inline constexpr std::size_t max_params = 16;

// Creates the type of our function objects for a module (once per module).
void init_function_type(py::handle module);

// A new function object. `defaults` is a tuple or None; `annotations` a dict or
// None (an empty dict then).
py::object make_function(const FunctionSpec &spec, py::handle module,
                         py::object defaults = py::none(),
                         py::object annotations = py::none());

// Whether `object` is one of our function objects, or a method bound to one.
bool is_function(py::handle object);

// Creates a class `name` with `base` as its only base, the way a class
// statement does (metaclass from the base, `__module__`, `__qualname__`), with
// `body` as its namespace in insertion order.
py::object make_class(const char *name, py::handle base, py::handle module,
                      const std::vector<std::pair<const char *, py::object>> &body);

// Looks `name` up as a function body would: module globals, then builtins;
// NameError if neither has it.
py::object global(py::handle module, const char *name);
py::object global(py::handle module, py::handle name);

// `print(*args)` through the builtin print, so sys.stdout redirection works.
void print(py::handle print_fn, std::initializer_list<py::handle> args);

// ---------------------------------------------------------------------------
// Module create / exec guards
// ---------------------------------------------------------------------------

// Process-wide record of one extension module. The module is created in one
// interpreter only and initialised once; the object is kept for the process.
struct ModuleGuard {
    const char *full_name;   // "quorvane.Source.Corvantis"
    const char *short_name;  // "Corvantis"
    std::int64_t interpreter_id = -1;
    PyObject *module = nullptr;  // strong reference once initialised
};

// Py_mod_create: refuses a second interpreter, hands back the module created
// first, else a fresh module named after the spec.
PyObject *guarded_create(ModuleGuard &guard, PyObject *spec) noexcept;

// Py_mod_exec: re-initialisation check, version warning, registration in
// sys.modules, then `body`. On failure the module is released so that a later
// import starts again.
int guarded_exec(ModuleGuard &guard, PyObject *module, void (*body)(py::module_ module)) noexcept;

// The module definition of an extension whose create and exec steps go
// through `Guard`, with `Body` as the module body. `init()` is what the
// PyInit_ function returns.
template <ModuleGuard &Guard, void (*Body)(py::module_)>
struct GuardedModule {
    static PyObject *create(PyObject *spec, PyModuleDef *) { return guarded_create(Guard, spec); }
    static int exec(PyObject *module) { return guarded_exec(Guard, module, Body); }

    static inline PyModuleDef_Slot slots[] = {
        {Py_mod_create, reinterpret_cast<void *>(create)},
        {Py_mod_exec, reinterpret_cast<void *>(exec)},
        {0, nullptr},
    };
    static inline PyModuleDef definition = {
        PyModuleDef_HEAD_INIT, Guard.short_name, nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr,
    };

    static PyObject *init() { return PyModuleDef_Init(&definition); }
};

}  // namespace qv
