// Not yet built: the data area's names are left unbound until their sources land.
// Delete this file when the area's real factories exist.
#include "tavrine.hpp"

namespace tavrine {

py::object make_load_data_fashion_mnist(py::module_) { return {}; }
py::object make_load_custom_shm_data(py::module_) { return {}; }
py::object make_get_fashion_mnist_labels(py::module_) { return {}; }
py::object make_get_custom_shm_labels(py::module_) { return {}; }
py::object make_show_shm_fig(py::module_) { return {}; }
py::object make_CsvDataset(py::module_) { return {}; }
py::object make_CsvDataset_Test(py::module_) { return {}; }
py::object make_CsvDataset_Test_Serial(py::module_) { return {}; }

}  // namespace tavrine
