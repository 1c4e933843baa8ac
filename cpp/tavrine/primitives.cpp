// Hand-written layer primitives: FlattenLayer, corr2d, pool2d, Conv2D.
//
// corr2d and pool2d are defined element by element (one window, one small
// tensor expression, one item assignment per output element). That definition
// is kept below as the general path. When nothing a script could observe would
// differ, the same values are computed with a handful of whole-tensor
// operations over a strided window view instead: each output element is still
// the same reduction of the same window, and the result is written into the
// same freshly created `Y` by item assignment, so shapes, dtypes, devices and
// the gradient graph match the element-wise definition.
#include "tavrine.hpp"

#include <algorithm>

namespace tavrine {
namespace {

using namespace pybind11::literals;

// ---------------------------------------------------------------------------
// What the whole-tensor path relies on, captured when the module is created
// ---------------------------------------------------------------------------

// Tensor methods the element-wise definitions call. If a script patches any
// of them, the patched version has to be seen, so the general path runs.
constexpr const char *observed_methods[] = {"__getitem__", "__setitem__", "__mul__", "sum",
                                            "max",         "mean",        "shape",   "float"};

struct Originals {
    py::object torch;
    py::object zeros;
    py::object tensor_type;
    py::object parameter_type;
    py::object range;
    py::object strided;
    // The library's private probes for active modes; None on a version
    // without them, where no mode can be ruled out.
    py::object function_mode_enabled;
    py::object dispatch_stack_length;
    py::list dtypes;                   // dtypes whose arithmetic the window view reproduces
    py::list observed;                 // originals of `observed_methods`, same order
    // Called directly rather than through the tensor, so a patch cannot reach them.
    py::object unfold, mul, sum, amax, mean, getitem, setitem;
};

// Process-lifetime, like the module itself; replaced if a failed import is retried.
Originals *originals = nullptr;

void capture_originals(py::module_ m) {
    auto *o = new Originals{};
    o->torch = m.attr("torch");
    o->zeros = o->torch.attr("zeros");
    o->tensor_type = o->torch.attr("Tensor");
    o->parameter_type = o->torch.attr("nn").attr("Parameter");
    o->range = py::module_::import("builtins").attr("range");
    o->strided = o->torch.attr("strided");
    py::object c = o->torch.attr("_C");
    o->function_mode_enabled = py::getattr(c, "_is_torch_function_mode_enabled", py::none());
    o->dispatch_stack_length = py::getattr(c, "_len_torch_dispatch_stack", py::none());
    for (const char *name : {"float16", "bfloat16", "float32", "float64", "uint8", "int8", "int16", "int32",
                             "int64", "bool"})
        o->dtypes.append(o->torch.attr(name));
    // The C-level methods, not whatever torch.Tensor shows now: a patch made
    // before this module was imported must be noticed too.
    py::dict base = c.attr("TensorBase").attr("__dict__");
    for (const char *name : observed_methods) o->observed.append(base[name]);
    o->unfold = base["unfold"];
    o->mul = base["__mul__"];
    o->sum = base["sum"];
    o->amax = base["amax"];
    o->mean = base["mean"];
    o->getitem = base["__getitem__"];
    o->setitem = base["__setitem__"];
    delete originals;
    originals = o;
}

// True when `type` is a plain tensor type whose observed methods are the originals.
bool pristine_tensor_type(py::handle type) {
    const Originals &o = *originals;
    if (!type.is(o.tensor_type) && !type.is(o.parameter_type)) return false;
    for (std::size_t i = 0; i < std::size(observed_methods); ++i) {
        auto found = py::reinterpret_steal<py::object>(PyObject_GetAttrString(type.ptr(), observed_methods[i]));
        if (!found) {
            PyErr_Clear();
            return false;
        }
        if (!found.is(o.observed[i])) return false;
    }
    return true;
}

// The library and interpreter state the element-wise loops would run in.
bool pristine_environment(py::handle m, py::handle torch, py::handle zeros) {
    const Originals &o = *originals;
    if (!torch.is(o.torch) || !zeros.is(o.zeros)) return false;
    if (!qv::global(m, "range").is(o.range)) return false;
    return !torch_mode_active();
}

// A two-dimensional strided tensor of a supported dtype, ready for the window view.
bool plain_matrix(py::handle t) {
    const Originals &o = *originals;
    if (!pristine_tensor_type(py::type::handle_of(t))) return false;
    py::object shape = t.attr("shape");
    if (py::len(shape) != 2) return false;
    if (!py::object(t.attr("layout")).is(o.strided)) return false;
    py::object dtype = t.attr("dtype");
    for (py::handle allowed : o.dtypes)
        if (dtype.is(allowed)) return true;
    return false;
}

bool positive_int(py::handle v) { return PyLong_CheckExact(v.ptr()) && v.cast<long long>() > 0; }

py::object add(py::handle a, py::handle b) { return qv::steal_or_throw(PyNumber_Add(a.ptr(), b.ptr())); }
py::object sub(py::handle a, py::handle b) { return qv::steal_or_throw(PyNumber_Subtract(a.ptr(), b.ptr())); }

// Rows of `Y` per whole-tensor step. Steps stay at the library's parallel
// grain size (32768 elements): memory for the window products and their
// gradients stays bounded, and each step runs on the calling thread instead of
// waiting on a worker pool that may be descheduled on a busy machine.
constexpr long long window_elements_per_step = 32768;

Py_ssize_t rows_per_step(Py_ssize_t cols, long long window_size) {
    const long long per_row = std::max<long long>(1, cols * window_size);
    return static_cast<Py_ssize_t>(std::max<long long>(1, window_elements_per_step / per_row));
}

// `reduce(rows r0..r1 of the window view)` written into the same rows of `Y`.
template <class Reduce>
void fill_by_rows(py::handle Y, py::handle windows, Py_ssize_t rows, Py_ssize_t cols, long long window_size,
                  Reduce reduce) {
    const Originals &o = *originals;
    const Py_ssize_t step = rows_per_step(cols, window_size);
    for (Py_ssize_t r0 = 0; r0 < rows; r0 += step) {
        const Py_ssize_t r1 = std::min(rows, r0 + step);
        py::object rows_slice = qv::steal_or_throw(PySlice_New(py::int_(r0).ptr(), py::int_(r1).ptr(), nullptr));
        py::object part = reduce(o.getitem(windows, rows_slice));
        o.setitem(Y, rows_slice, part);
    }
}

// (rows of Y, cols of Y, window h, window w) view of X: element [i, j, a, b] is X[i + a, j + b].
py::object window_view(py::handle X, py::handle h, py::handle w) {
    const Originals &o = *originals;
    return o.unfold(o.unfold(X, 0, h, 1), 1, w, 1);
}

py::object tensor_slice(py::handle start, py::handle size) {
    return qv::steal_or_throw(PySlice_New(start.ptr(), add(start, size).ptr(), nullptr));
}

std::pair<Py_ssize_t, Py_ssize_t> matrix_size(py::handle t) {
    py::object shape = t.attr("shape");
    return {py::cast<Py_ssize_t>(shape[py::int_(0)]), py::cast<Py_ssize_t>(shape[py::int_(1)])};
}

// ---------------------------------------------------------------------------
// corr2d
// ---------------------------------------------------------------------------

py::object corr2d(py::handle m, const qv::Args &args) {
    py::handle X = args[0], K = args[1];
    auto hw = qv::unpack(K.attr("shape"), 2);
    py::handle h = hw[0], w = hw[1];
    py::object torch = qv::global(m, "torch");
    py::object zeros = torch.attr("zeros");
    py::object X_shape = X.attr("shape");
    py::object rows = add(sub(X_shape[py::int_(0)], h), py::int_(1));
    py::object cols = add(sub(X.attr("shape")[py::int_(1)], w), py::int_(1));
    py::object Y = zeros(py::make_tuple(rows, cols));

    if (pristine_environment(m, torch, zeros) && positive_int(h) && positive_int(w) && plain_matrix(X) &&
        plain_matrix(K) && plain_matrix(Y) && py::object(X.attr("device")).equal(K.attr("device"))) {
        const auto [n_rows, n_cols] = matrix_size(Y);
        if (n_rows == 0 || n_cols == 0) return Y;
        const Originals &o = *originals;
        py::object windows = window_view(X, h, w);
        py::tuple window_dims = py::make_tuple(2, 3);
        fill_by_rows(Y, windows, n_rows, n_cols, h.cast<long long>() * w.cast<long long>(),
                     [&](py::handle part) { return o.sum(o.mul(part, K), window_dims); });
        return Y;
    }

    // Element by element: Y[i, j] = (X[i:i+h, j:j+w] * K).sum()
    py::object range = qv::global(m, "range");
    for (py::handle i : range(Y.attr("shape")[py::int_(0)])) {
        for (py::handle j : range(Y.attr("shape")[py::int_(1)])) {
            py::object window = X[py::make_tuple(tensor_slice(i, h), tensor_slice(j, w))];
            py::object product = qv::steal_or_throw(PyNumber_Multiply(window.ptr(), K.ptr()));
            Y[py::make_tuple(i, j)] = product.attr("sum")();
        }
    }
    return Y;
}

// ---------------------------------------------------------------------------
// pool2d
// ---------------------------------------------------------------------------

bool mode_is(py::handle mode, const char *text) {
    py::object equal = qv::steal_or_throw(PyObject_RichCompare(mode.ptr(), py::str(text).ptr(), Py_EQ));
    const int truth = PyObject_IsTrue(equal.ptr());
    if (truth < 0) qv::throw_python_error();
    return truth != 0;
}

py::object pool2d(py::handle m, const qv::Args &args) {
    py::object X = args[0].attr("float")();
    py::handle pool_size = args[1], mode = args[2];
    auto p = qv::unpack(pool_size, 2);
    py::handle p_h = p[0], p_w = p[1];
    py::object torch = qv::global(m, "torch");
    py::object zeros = torch.attr("zeros");
    py::object rows = add(sub(X.attr("shape")[py::int_(0)], p_h), py::int_(1));
    py::object cols = add(sub(X.attr("shape")[py::int_(1)], p_w), py::int_(1));
    py::object Y = zeros(rows, cols);

    if (pristine_environment(m, torch, zeros) && PyUnicode_CheckExact(mode.ptr()) && positive_int(p_h) &&
        positive_int(p_w) && plain_matrix(X) && plain_matrix(Y)) {
        const bool max = mode_is(mode, "max");
        // Any other mode leaves every element at its 0.
        if (!max && !mode_is(mode, "avg")) return Y;
        const auto [n_rows, n_cols] = matrix_size(Y);
        if (n_rows == 0 || n_cols == 0) return Y;
        const Originals &o = *originals;
        py::object windows = window_view(X, p_h, p_w);
        py::tuple window_dims = py::make_tuple(2, 3);
        // amax spreads the gradient over tied maxima exactly as a full max() does.
        py::handle reduce = max ? o.amax : o.mean;
        fill_by_rows(Y, windows, n_rows, n_cols, p_h.cast<long long>() * p_w.cast<long long>(),
                     [&](py::handle part) { return reduce(part, window_dims); });
        return Y;
    }

    // Element by element, the mode tested anew for every element.
    py::object range = qv::global(m, "range");
    for (py::handle i : range(Y.attr("shape")[py::int_(0)])) {
        for (py::handle j : range(Y.attr("shape")[py::int_(1)])) {
            const char *reduction = mode_is(mode, "max") ? "max" : mode_is(mode, "avg") ? "mean" : nullptr;
            if (!reduction) continue;
            py::object window = X[py::make_tuple(tensor_slice(i, p_h), tensor_slice(j, p_w))];
            Y[py::make_tuple(i, j)] = window.attr(reduction)();
        }
    }
    return Y;
}

// ---------------------------------------------------------------------------
// FlattenLayer and Conv2D
// ---------------------------------------------------------------------------

void init_base(py::handle m, const char *class_name, py::handle self) {
    qv::global(m, "super")(qv::global(m, class_name), self).attr("__init__")();
}

py::object FlattenLayer_init(py::handle m, const qv::Args &args) {
    init_base(m, "FlattenLayer", args[0]);
    return py::none();
}

py::object FlattenLayer_forward(py::handle, const qv::Args &args) {
    py::handle x = args[1];
    return x.attr("view")(x.attr("shape")[py::int_(0)], -1);
}

// nn.Parameter(torch.randn(size)), names looked up in source order.
py::object new_parameter(py::handle m, py::handle size) {
    py::object parameter = qv::global(m, "nn").attr("Parameter");
    py::object randn = qv::global(m, "torch").attr("randn");
    return parameter(randn(size));
}

py::object Conv2D_init(py::handle m, const qv::Args &args) {
    py::handle self = args[0], kernel_size = args[1];
    init_base(m, "Conv2D", self);
    self.attr("weight") = new_parameter(m, kernel_size);
    self.attr("bias") = new_parameter(m, py::int_(1));
    return py::none();
}

py::object Conv2D_forward(py::handle m, const qv::Args &args) {
    py::handle self = args[0], x = args[1];
    py::object correlation = qv::global(m, "corr2d")(x, self.attr("weight"));
    return add(correlation, self.attr("bias"));
}

const qv::FunctionSpec corr2d_spec{"corr2d", nullptr, {"X", "K"}, corr2d};
const qv::FunctionSpec pool2d_spec{"pool2d", nullptr, {"X", "pool_size", "mode"}, pool2d};
const qv::FunctionSpec flatten_init_spec{"__init__", "FlattenLayer.__init__", {"self"}, FlattenLayer_init};
const qv::FunctionSpec flatten_forward_spec{"forward", "FlattenLayer.forward", {"self", "x"}, FlattenLayer_forward};
const qv::FunctionSpec conv_init_spec{"__init__", "Conv2D.__init__", {"self", "kernel_size"}, Conv2D_init};
const qv::FunctionSpec conv_forward_spec{"forward", "Conv2D.forward", {"self", "x"}, Conv2D_forward};

}  // namespace

bool torch_mode_active() {
    // Before the capture, or without a probe to ask, nothing can be vouched
    // for: the shortcuts step aside.
    if (!originals) return true;
    const Originals &o = *originals;
    if (o.function_mode_enabled.is_none() || o.dispatch_stack_length.is_none()) return true;
    if (py::bool_(o.function_mode_enabled())) return true;
    return py::int_(o.dispatch_stack_length()).cast<long>() != 0;
}

py::object make_FlattenLayer(py::module_ m) {
    return qv::make_class("FlattenLayer", qv::global(m, "nn").attr("Module"), m,
                          {{"__init__", qv::make_function(flatten_init_spec, m)},
                           {"forward", qv::make_function(flatten_forward_spec, m)}});
}

py::object make_corr2d(py::module_ m) {
    capture_originals(m);
    return qv::make_function(corr2d_spec, m);
}

py::object make_pool2d(py::module_ m) { return qv::make_function(pool2d_spec, m, py::make_tuple("max")); }

py::object make_Conv2D(py::module_ m) {
    return qv::make_class("Conv2D", qv::global(m, "nn").attr("Module"), m,
                          {{"__init__", qv::make_function(conv_init_spec, m)},
                           {"forward", qv::make_function(conv_forward_spec, m)}});
}

}  // namespace tavrine
