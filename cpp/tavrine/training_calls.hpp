// Call helpers shared by the training and evaluation functions: vectorcalls
// that behave like `f(a, b)` and `obj.method(a)` in a function body, and the
// interned names and constants those bodies use on every batch.
#pragma once

#include "tavrine.hpp"

namespace tavrine::training {

// `fn(args...)`
template <class... A>
py::object call(py::handle fn, const A &...args) {
    PyObject *argv[] = {nullptr, py::handle(args).ptr()...};  // leading slot: see call_method
    return qv::steal_or_throw(
        PyObject_Vectorcall(fn.ptr(), argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// `self.name(args...)`, with the attribute looked up the way a method call
// in source is.
template <class... A>
py::object call_method(py::handle self, py::handle name, const A &...args) {
    // The leading slot is the callee's to use (ARGUMENTS_OFFSET), self follows.
    PyObject *argv[] = {nullptr, self.ptr(), py::handle(args).ptr()...};
    return qv::steal_or_throw(PyObject_VectorcallMethod(
        name.ptr(), argv + 1, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Binary operators with Python's dispatch (reflected methods included).
inline py::object add(py::handle a, py::handle b) { return qv::steal_or_throw(PyNumber_Add(a.ptr(), b.ptr())); }
inline py::object in_place_add(py::handle a, py::handle b) {
    return qv::steal_or_throw(PyNumber_InPlaceAdd(a.ptr(), b.ptr()));
}
inline py::object multiply(py::handle a, py::handle b) {
    return qv::steal_or_throw(PyNumber_Multiply(a.ptr(), b.ptr()));
}
inline py::object true_divide(py::handle a, py::handle b) {
    return qv::steal_or_throw(PyNumber_TrueDivide(a.ptr(), b.ptr()));
}
inline py::object equal(py::handle a, py::handle b) {
    return qv::steal_or_throw(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ));
}
inline py::object item_of(py::handle obj, py::handle key) {
    return qv::steal_or_throw(PyObject_GetItem(obj.ptr(), key.ptr()));
}
inline py::object attr_of(py::handle obj, py::handle name) {
    return qv::steal_or_throw(PyObject_GetAttr(obj.ptr(), name.ptr()));
}
inline py::object format(py::handle value, py::handle spec) {
    return qv::steal_or_throw(PyObject_Format(value.ptr(), spec.ptr()));
}

// Next item of an iterator, or a null object at its end.
inline py::object next(py::handle iterator) {
    PyObject *item = PyIter_Next(iterator.ptr());
    if (!item && PyErr_Occurred()) qv::throw_python_error();
    return py::reinterpret_steal<py::object>(item);
}
inline py::object iterate(py::handle iterable) { return qv::steal_or_throw(PyObject_GetIter(iterable.ptr())); }

// Interned attribute and global names plus immutable constants, created once
// per process (the module is initialised once) and never released, so nothing
// is torn down after the interpreter.
struct Names {
    // module globals
    py::object torch, plt, print, range, sgd, reformat_output, evaluate_accuracy;
    // attributes and methods
    py::object eval, train, sum, float_, item, logical_and, shape, zero_grad, step, backward, grad, data,
        zero_, param_groups, lr, ion, figure, axis, grid, plot, pause, ioff, masked_fill_, copy_;
    // constants
    py::object zero, one, six, zero_f, half, seven_tenths, sixty, pause_s, red_dot, blue_plus, col0, col1,
        empty, fmt_d, fmt_4f, fmt_3f, epoch_label, loss_label, train_label, test_label, test_pf_label;
};
const Names &names();

}  // namespace tavrine::training
