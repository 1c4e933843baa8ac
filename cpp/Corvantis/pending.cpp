// Not yet built: placeholders until the datalog functions land. Delete when they do.
#include "corvantis.hpp"

namespace corvantis {
py::object make_getDatalogInfo(py::module_) { return py::none(); }
py::object make_processLog(py::module_) { return py::none(); }
py::object make_getAllSiteNums(py::module_) { return py::none(); }
}  // namespace corvantis
