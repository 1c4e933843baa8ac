// Label texts and the shmoo figure: label vectors and class numbers back to
// readable texts, and a batch of plots as a grid of coloured images.
#include "tavrine.hpp"

namespace tavrine {
namespace {

py::list shmoo_texts() {
    py::list texts;
    for (const char *text : {"Fail", "Pass", "Vol", "Freq", "Marginal", "Hole"}) texts.append(py::str(text));
    return texts;
}

py::list fashion_texts() {
    py::list texts;
    for (const char *text : {"t-shirt", "trouser", "pullover", "dress", "coat", "sandal", "shirt", "sneaker", "bag",
                             "ankle boot"})
        texts.append(py::str(text));
    return texts;
}

Py_ssize_t length(py::handle object) {
    const Py_ssize_t n = PyObject_Size(object.ptr());
    if (n < 0) qv::throw_python_error();
    return n;
}

py::object item(py::handle container, Py_ssize_t index) {
    py::int_ key(index);
    return qv::steal_or_throw(PyObject_GetItem(container.ptr(), key.ptr()));
}

py::object concat(py::handle a, py::handle b) { return qv::steal_or_throw(PyNumber_Add(a.ptr(), b.ptr())); }

py::object get_fashion_mnist_labels(py::handle, const qv::Args &args) {
    py::list text_labels = fashion_texts();
    py::list result;
    for (py::handle label : args[0]) {
        py::object index = qv::steal_or_throw(PyNumber_Long(label.ptr()));
        result.append(qv::steal_or_throw(PyObject_GetItem(text_labels.ptr(), index.ptr())));
    }
    return result;
}

py::object get_custom_shm_labels(py::handle, const qv::Args &args) {
    py::handle labels = args[0], type = args[1];
    py::list text_labels = shmoo_texts();
    py::list result_list;
    py::str separator(": "), dash("-");
    py::float_ one(1.0);
    const Py_ssize_t rows = length(labels);
    for (Py_ssize_t i = 0; i < rows; ++i) {
        py::object result = concat(type, separator);
        const Py_ssize_t columns = length(item(labels, i));
        for (Py_ssize_t j = 0; j < columns; ++j) {
            py::object entry = item(item(labels, i), j);
            const int set = PyObject_RichCompareBool(entry.ptr(), one.ptr(), Py_EQ);
            if (set < 0) qv::throw_python_error();
            if (set) result = concat(concat(result, dash), item(text_labels, j));
        }
        result_list.append(result);
    }
    return result_list;
}

py::object show_shm_fig(py::handle m, const qv::Args &args) {
    py::handle images = args[0], labels = args[1];
    py::object plt = qv::global(m, "plt");
    // int(len(images) / 5): true division, then truncation.
    py::object columns = qv::steal_or_throw(PyNumber_Long(py::float_(static_cast<double>(length(images)) / 5.0).ptr()));
    py::object subplots = plt.attr("subplots")(5, columns, py::arg("figsize") = py::make_tuple(12, 8));
    std::vector<py::object> parts = qv::unpack(subplots, 2);
    py::object figs = parts[1];
    plt.attr("tight_layout")();
    figs = figs.attr("flatten")();
    py::object triples = qv::global(m, "zip")(figs, images, labels);
    for (py::handle triple : triples) {
        std::vector<py::object> fields = qv::unpack(triple, 3);
        py::object f = fields[0], img = fields[1], lbl = fields[2];
        py::object shape = img.attr("shape");
        py::object view = img.attr("view")(py::make_tuple(shape[py::int_(1)], shape[py::int_(2)]));
        f.attr("imshow")(view.attr("numpy")(), py::arg("cmap") = "RdYlGn");
        f.attr("set_title")(lbl);
        f.attr("axes").attr("get_xaxis")().attr("set_visible")(false);
        f.attr("axes").attr("get_yaxis")().attr("set_visible")(false);
    }
    plt.attr("show")();
    return py::none();
}

const qv::FunctionSpec fashion_spec{"get_fashion_mnist_labels", nullptr, {"labels"}, get_fashion_mnist_labels};
const qv::FunctionSpec shmoo_spec{"get_custom_shm_labels", nullptr, {"labels", "type"}, get_custom_shm_labels};
const qv::FunctionSpec figure_spec{"show_shm_fig", nullptr, {"images", "labels"}, show_shm_fig};

}  // namespace

py::object make_get_fashion_mnist_labels(py::module_ m) { return qv::make_function(fashion_spec, m); }
py::object make_get_custom_shm_labels(py::module_ m) { return qv::make_function(shmoo_spec, m); }
py::object make_show_shm_fig(py::module_ m) { return qv::make_function(figure_spec, m); }

}  // namespace tavrine
