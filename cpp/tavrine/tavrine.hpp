// Shared declarations of the model module: its state and the factories that
// create each registered function and class, in registration order.
#pragma once

#include "support.hpp"

namespace tavrine {

namespace py = pybind11;

inline constexpr const char *module_name = "quorvane.Source.tavrine";

// Process-wide state of the module (it is initialised once per process, in one
// interpreter). Library modules are not cached here: the functions look them up
// in the module namespace at each call, so a script's rebinding takes effect.
struct State {
    py::object print;  // builtins.print, looked up once at initialisation
};
State &state();  // module.cpp

// True while a torch function mode or dispatch mode is active, or where the
// library gives no way to tell: any torch call may then hand back something
// other than a plain tensor, so the native shortcuts step aside (primitives.cpp).
bool torch_mode_active();

// Factories, one per name of the namespace, in the order they are bound.
// Each returns the function or class object to bind under its name.
// Data loaders (loaders.cpp)
py::object make_load_data_fashion_mnist(py::module_ m);
py::object make_load_custom_shm_data(py::module_ m);
// Layer primitives (primitives.cpp)
py::object make_FlattenLayer(py::module_ m);
// Evaluation (evaluation.cpp) and training (training.cpp)
py::object make_evaluate_accuracy(py::module_ m);
py::object make_sgd(py::module_ m);
py::object make_train_network(py::module_ m);
py::object make_reformat_output(py::module_ m);
py::object make_adjust_learning_rate(py::module_ m);
// Label texts and figures (labels.cpp)
py::object make_get_fashion_mnist_labels(py::module_ m);
py::object make_get_custom_shm_labels(py::module_ m);
py::object make_show_shm_fig(py::module_ m);
// Shmoo datasets (datasets.cpp)
py::object make_CsvDataset(py::module_ m);
py::object make_CsvDataset_Test(py::module_ m);
py::object make_CsvDataset_Test_Serial(py::module_ m);
// Layer primitives (primitives.cpp) and networks (networks.cpp)
py::object make_corr2d(py::module_ m);
py::object make_pool2d(py::module_ m);
py::object make_Conv2D(py::module_ m);
py::object make_LeNet(py::module_ m);
py::object make_nin_block(py::module_ m);
py::object make_Inception(py::module_ m);
py::object make_AlexNet(py::module_ m);

// Tells the tensor library's compiler how to treat our methods (compiler.cpp).
void register_with_compiler(py::module_ m);

}  // namespace tavrine
