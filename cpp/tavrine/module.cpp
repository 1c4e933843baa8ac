// Module frame of quorvane.Source.tavrine: guards, library names, `device`,
// and the registered functions and classes in their fixed order.
#include "tavrine.hpp"

namespace tavrine {
namespace {

qv::ModuleGuard guard{module_name, "tavrine"};

State *the_state = nullptr;

void bind_import(py::module_ m, const char *alias, const char *module) {
    m.attr(alias) = py::module_::import(module);
}

void exec_body(py::module_ m) {
    // Lives as long as the process, like the module; never torn down, so no
    // reference is released after the interpreter has gone.
    if (!the_state) the_state = new State{};
    the_state->print = py::module_::import("builtins").attr("print");
    qv::init_function_type(m);

    bind_import(m, "sys", "sys");
    bind_import(m, "math", "math");
    bind_import(m, "torch", "torch");
    m.attr("nn") = m.attr("torch").attr("nn");  // from torch import nn
    bind_import(m, "torchvision", "torchvision");
    bind_import(m, "plt", "matplotlib.pyplot");
    bind_import(m, "pd", "pandas");
    bind_import(m, "np", "numpy");
    bind_import(m, "data", "torch.utils.data");
    bind_import(m, "F", "torch.nn.functional");

    const bool mps = py::bool_(m.attr("torch").attr("backends").attr("mps").attr("is_available")());
    m.attr("device") = py::str(mps ? "mps" : "cpu");

    using Factory = py::object (*)(py::module_);
    static constexpr std::pair<const char *, Factory> registry[] = {
        {"load_data_fashion_mnist", make_load_data_fashion_mnist},
        {"load_custom_shm_data", make_load_custom_shm_data},
        {"FlattenLayer", make_FlattenLayer},
        {"evaluate_accuracy", make_evaluate_accuracy},
        {"sgd", make_sgd},
        {"train_network", make_train_network},
        {"reformat_output", make_reformat_output},
        {"adjust_learning_rate", make_adjust_learning_rate},
        {"get_fashion_mnist_labels", make_get_fashion_mnist_labels},
        {"get_custom_shm_labels", make_get_custom_shm_labels},
        {"show_shm_fig", make_show_shm_fig},
        {"CsvDataset", make_CsvDataset},
        {"CsvDataset_Test", make_CsvDataset_Test},
        {"CsvDataset_Test_Serial", make_CsvDataset_Test_Serial},
        {"corr2d", make_corr2d},
        {"pool2d", make_pool2d},
        {"Conv2D", make_Conv2D},
        {"LeNet", make_LeNet},
        {"nin_block", make_nin_block},
        {"Inception", make_Inception},
        {"AlexNet", make_AlexNet},
    };
    for (const auto &[name, factory] : registry) {
        py::object object = factory(m);
        if (object) m.attr(name) = object;
    }
    register_with_compiler(m);
}

using Module = qv::GuardedModule<guard, exec_body>;

}  // namespace

State &state() { return *the_state; }

}  // namespace tavrine

extern "C" PYBIND11_EXPORT PyObject *PyInit_tavrine() { return tavrine::Module::init(); }
