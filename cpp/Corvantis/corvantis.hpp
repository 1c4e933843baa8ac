// Shared declarations of the datalog module.
#pragma once

#include "support.hpp"

namespace corvantis {

namespace py = pybind11;

inline constexpr const char *module_name = "quorvane.Source.Corvantis";

// Process-wide state (the module is initialised once per process, in one
// interpreter). `open` and `print` are the builtins looked up once at
// initialisation; the functions use these objects from then on.
struct State {
    py::object open;
    py::object print;
};
State &state();

// Factories of the four registered functions, in binding order.
py::object make_getKeyWordFromSettingFile(py::module_ m);
py::object make_getDatalogInfo(py::module_ m);
py::object make_processLog(py::module_ m);
py::object make_getAllSiteNums(py::module_ m);

}  // namespace corvantis
