// The two loader pairs (training, test): a shmoo CSV file split into a
// training part and a test part of 100 samples, and the Fashion-MNIST set.
#include "tavrine.hpp"

namespace tavrine {
namespace {

constexpr const char *loader_doc = "Download the fashion mnist dataset and then load into memory.";
constexpr Py_ssize_t test_samples = 100;

py::object data_loader(py::handle m, py::handle dataset, py::handle batch_size, bool shuffle, py::handle workers) {
    py::object loader_type = qv::global(m, "torch").attr("utils").attr("data").attr("DataLoader");
    return loader_type(dataset, py::arg("batch_size") = batch_size, py::arg("shuffle") = shuffle,
                       py::arg("num_workers") = workers);
}

py::object load_data_fashion_mnist(py::handle m, const qv::Args &args) {
    py::handle batch_size = args[0], resize = args[1], root = args[2];
    const bool windows = py::bool_(qv::global(m, "sys").attr("platform").attr("startswith")("win"));
    py::int_ num_workers(windows ? 0 : 4);
    py::object transforms = qv::global(m, "torchvision").attr("transforms");
    py::list trans;
    const int wanted = PyObject_IsTrue(resize.ptr());
    if (wanted < 0) qv::throw_python_error();
    if (wanted) trans.append(transforms.attr("Resize")(py::arg("size") = resize));
    trans.append(transforms.attr("ToTensor")());
    py::object transform = transforms.attr("Compose")(trans);
    py::object fashion = qv::global(m, "torchvision").attr("datasets").attr("FashionMNIST");
    py::object mnist_train = fashion(py::arg("root") = root, py::arg("train") = true, py::arg("download") = true,
                                     py::arg("transform") = transform);
    py::object mnist_test = fashion(py::arg("root") = root, py::arg("train") = false, py::arg("download") = true,
                                    py::arg("transform") = transform);
    py::object train_iter = data_loader(m, mnist_train, batch_size, true, num_workers);
    py::object test_iter = data_loader(m, mnist_test, batch_size, false, num_workers);
    return py::make_tuple(train_iter, test_iter);
}

py::object load_custom_shm_data(py::handle m, const qv::Args &args) {
    py::handle batch_size = args[0], root = args[1];
    py::object dataset = qv::global(m, "CsvDataset")(root);
    py::object samples = dataset.attr("__len__")();
    py::int_ test_size(test_samples);
    py::object train_size = qv::steal_or_throw(PyNumber_Subtract(samples.ptr(), test_size.ptr()));
    py::object lengths = py::make_tuple(train_size, test_size);
    std::vector<py::object> parts = qv::unpack(qv::global(m, "data").attr("random_split")(dataset, lengths), 2);
    py::int_ no_workers(0);
    py::object train_iter = data_loader(m, parts[0], batch_size, true, no_workers);
    py::object test_iter = data_loader(m, parts[1], batch_size, true, no_workers);
    return py::make_tuple(train_iter, test_iter);
}

const qv::FunctionSpec fashion_spec{"load_data_fashion_mnist", nullptr, {"batch_size", "resize", "root"},
                                    load_data_fashion_mnist, loader_doc};
const qv::FunctionSpec shmoo_spec{"load_custom_shm_data", nullptr, {"batch_size", "root"}, load_custom_shm_data,
                                  loader_doc};

}  // namespace

py::object make_load_data_fashion_mnist(py::module_ m) {
    return qv::make_function(fashion_spec, m, py::make_tuple(py::none(), "~/Datasets/FashionMNIST"));
}

py::object make_load_custom_shm_data(py::module_ m) {
    return qv::make_function(shmoo_spec, m, py::make_tuple("~/Datasets/FashionMNIST"));
}

}  // namespace tavrine
