// Not yet built: the training area's names are left unbound until their sources land.
// Delete this file when the area's real factories exist.
#include "tavrine.hpp"

namespace tavrine {

py::object make_evaluate_accuracy(py::module_) { return {}; }
py::object make_sgd(py::module_) { return {}; }
py::object make_train_network(py::module_) { return {}; }
py::object make_reformat_output(py::module_) { return {}; }
py::object make_adjust_learning_rate(py::module_) { return {}; }

}  // namespace tavrine
