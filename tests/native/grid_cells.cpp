// Test-only extension module around the native cell collector: it drives
// CellGrid the ways the datalog scan must never do, which no Python call can.
// Built by tests/test_native_grid.py from the same sources as the module.
#include "../../cpp/Corvantis/archive.cpp"
#include "../../cpp/Corvantis/grid.cpp"
#include "../../cpp/support/errors.cpp"

namespace corvantis {
namespace {
State test_state;
}
// The collector's save takes the workbook library's classes from here.
State &state() { return test_state; }
}  // namespace corvantis

namespace {

namespace py = pybind11;
using corvantis::CellGrid;
using corvantis::Fill;

// A cell that got a fill but never a text, then merged into.
PyObject *fill_then_merge(PyObject *, PyObject *) {
    return qv::boundary([] {
        CellGrid grid;
        grid.fill(2, 3, Fill::green);
        grid.merge(2, 3, grid.id_dot());
        return py::object(py::none());
    });
}

// A cell that got a fill but never a text, then saved.
PyObject *fill_then_save(PyObject *, PyObject *path) {
    return qv::boundary([path] {
        CellGrid grid;
        grid.set(1, 1, grid.intern(std::string_view("kept")));
        grid.fill(2, 3, Fill::green);
        grid.save(path);
        return py::object(py::none());
    });
}

// A complete grid saves as before.
PyObject *set_then_save(PyObject *, PyObject *path) {
    return qv::boundary([path] {
        CellGrid grid;
        grid.set(2, 3, grid.id_P());
        grid.fill(2, 3, Fill::green);
        grid.save(path);
        return py::object(py::none());
    });
}

PyMethodDef methods[] = {
    {"fill_then_merge", fill_then_merge, METH_NOARGS, nullptr},
    {"fill_then_save", fill_then_save, METH_O, nullptr},
    {"set_then_save", set_then_save, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {PyModuleDef_HEAD_INIT, "grid_cells", nullptr, -1, methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

extern "C" PYBIND11_EXPORT PyObject *PyInit_grid_cells() {
    try {
        py::module_ openpyxl = py::module_::import("openpyxl");
        corvantis::state().workbook_class = openpyxl.attr("Workbook");
        corvantis::state().pattern_fill = py::module_::import("openpyxl.styles").attr("PatternFill");
    } catch (py::error_already_set &e) {
        e.restore();
        return nullptr;
    }
    return PyModule_Create(&definition);
}
