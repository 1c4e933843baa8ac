// The networks: LeNet, the NiN and Inception blocks, and AlexNet with spatial
// pyramid pooling. Layer order, attribute names and container positions make
// up the keys of a saved state, so they are fixed; every library name is
// looked up in the module namespace when it is used.
#include "tavrine.hpp"

#include <initializer_list>

namespace tavrine {
namespace {

using namespace pybind11::literals;

py::object nn_attr(py::handle m, const char *name) { return qv::global(m, "nn").attr(name); }

// fn(*items); a braced list keeps the items' construction in source order.
py::object call_with(py::handle fn, std::initializer_list<py::object> items) {
    py::tuple args(items.size());
    std::size_t i = 0;
    for (const py::object &item : items) args[i++] = item;
    return qv::steal_or_throw(PyObject_Call(fn.ptr(), args.ptr(), nullptr));
}

// nn.Sequential(*layers) with nn.Sequential looked up before the layers are built.
template <class Build>
py::object sequential(py::handle m, Build build_layers) {
    py::object container = nn_attr(m, "Sequential");
    return build_layers(container);
}

py::object relu(py::handle m) { return nn_attr(m, "ReLU")(); }

py::object call_attr(py::handle self, const char *name, py::handle x) { return self.attr(name)(x); }

void init_base(py::handle m, py::handle cls, py::handle self) {
    qv::global(m, "super")(cls, self).attr("__init__")();
}

// ---------------------------------------------------------------------------
// LeNet
// ---------------------------------------------------------------------------

py::object LeNet_init(py::handle m, const qv::Args &args) {
    py::handle self = args[0];
    init_base(m, qv::global(m, "LeNet"), self);
    self.attr("conv") = sequential(m, [&](py::handle seq) {
        return call_with(seq, {
            nn_attr(m, "Conv2d")(1, 6, 3, "padding"_a = py::make_tuple(1, 1)),
            relu(m),
            nn_attr(m, "Conv2d")(6, 16, 3, "padding"_a = py::make_tuple(1, 1)),
            relu(m),
        });
    });
    self.attr("fc") = sequential(m, [&](py::handle seq) {
        return call_with(seq, {
            nn_attr(m, "Linear")(1936, 80),
            relu(m),
            nn_attr(m, "Dropout")(0.5),
            nn_attr(m, "Linear")(80, 64),
            relu(m),
            nn_attr(m, "Dropout")(0.5),
            nn_attr(m, "Linear")(64, 2),
        });
    });
    return py::none();
}

py::object LeNet_forward(py::handle, const qv::Args &args) {
    py::handle self = args[0], img = args[1];
    py::object feature = call_attr(self, "conv", img);
    py::object flat = feature.attr("view")(img.attr("shape")[py::int_(0)], -1);
    return call_attr(self, "fc", flat);
}

// ---------------------------------------------------------------------------
// nin_block and Inception
// ---------------------------------------------------------------------------

py::object nin_block(py::handle m, const qv::Args &args) {
    py::handle in_channels = args[0], out_channels = args[1], kernel_size = args[2], stride = args[3],
               padding = args[4];
    py::object blk = sequential(m, [&](py::handle seq) {
        return call_with(seq, {
            nn_attr(m, "Conv2d")(in_channels, out_channels, kernel_size, stride, padding),
            relu(m),
            nn_attr(m, "Conv2d")(out_channels, out_channels, "kernel_size"_a = 1),
            relu(m),
            nn_attr(m, "Conv2d")(out_channels, out_channels, "kernel_size"_a = 1),
            relu(m),
        });
    });
    return blk;
}

py::object Inception_init(py::handle m, const qv::Args &args) {
    py::handle self = args[0], in_c = args[1], c1 = args[2], c2 = args[3], c3 = args[4], c4 = args[5];
    init_base(m, qv::global(m, "Inception"), self);
    const py::int_ first(0), second(1);
    self.attr("p1_1") = nn_attr(m, "Conv2d")(in_c, c1, "kernel_size"_a = 1);
    self.attr("p2_1") = nn_attr(m, "Conv2d")(in_c, c2[first], "kernel_size"_a = 1);
    self.attr("p2_2") = nn_attr(m, "Conv2d")(c2[first], c2[second], "kernel_size"_a = 3, "padding"_a = 1);
    self.attr("p3_1") = nn_attr(m, "Conv2d")(in_c, c3[first], "kernel_size"_a = 1);
    self.attr("p3_2") = nn_attr(m, "Conv2d")(c3[first], c3[second], "kernel_size"_a = 5, "padding"_a = 2);
    self.attr("p4_1") = nn_attr(m, "MaxPool2d")("kernel_size"_a = 3, "stride"_a = 1, "padding"_a = 1);
    self.attr("p4_2") = nn_attr(m, "Conv2d")(in_c, c4, "kernel_size"_a = 1);
    return py::none();
}

py::object F_relu(py::handle m, py::handle x) { return qv::global(m, "F").attr("relu")(x); }

py::object Inception_forward(py::handle m, const qv::Args &args) {
    py::handle self = args[0], x = args[1];
    py::object p1 = F_relu(m, call_attr(self, "p1_1", x));
    py::object p2 = F_relu(m, call_attr(self, "p2_2", F_relu(m, call_attr(self, "p2_1", x))));
    py::object p3 = F_relu(m, call_attr(self, "p3_2", F_relu(m, call_attr(self, "p3_1", x))));
    // No rectifier between the pooling and its 1x1 convolution.
    py::object p4 = F_relu(m, call_attr(self, "p4_2", call_attr(self, "p4_1", x)));
    return qv::global(m, "torch").attr("cat")(py::make_tuple(p1, p2, p3, p4), "dim"_a = 1);
}

// ---------------------------------------------------------------------------
// AlexNet
// ---------------------------------------------------------------------------

// The class AlexNet.__init__ is defined in: its base initialiser is reached
// through it, not through whatever the module global names later. Kept for
// the life of the process, like the module.
py::object *alexnet_class = nullptr;

py::object conv_stage(py::handle m, int in_channels, int out_channels, int padding) {
    return sequential(m, [&](py::handle seq) {
        return call_with(seq, {
            nn_attr(m, "Conv2d")(in_channels, out_channels, 3, "padding"_a = padding),
            nn_attr(m, "BatchNorm2d")(out_channels),
            relu(m),
        });
    });
}

py::object fc_stage(py::handle m, int in_features, int out_features) {
    return sequential(m, [&](py::handle seq) {
        return call_with(seq, {
            nn_attr(m, "Linear")(in_features, out_features),
            nn_attr(m, "BatchNorm1d")(out_features),
            relu(m),
        });
    });
}

py::object AlexNet_init(py::handle m, const qv::Args &args) {
    py::handle self = args[0];
    init_base(m, *alexnet_class, self);
    self.attr("conv1") = conv_stage(m, 1, 32, 1);
    self.attr("conv2") = conv_stage(m, 32, 16, 1);
    self.attr("conv3") = conv_stage(m, 16, 8, 1);
    self.attr("conv4") = conv_stage(m, 8, 4, 0);
    self.attr("fc1") = fc_stage(m, 84, 42);
    self.attr("fc2") = fc_stage(m, 42, 21);
    self.attr("fc3") = sequential(m, [&](py::handle seq) { return call_with(seq, {nn_attr(m, "Linear")(21, 6)}); });
    return py::none();
}

py::object AlexNet_forward(py::handle m, const qv::Args &args) {
    py::handle self = args[0];
    py::list output_num;
    for (int n : {4, 2, 1}) output_num.append(n);
    py::object x = py::reinterpret_borrow<py::object>(args[1]);
    for (const char *stage : {"conv1", "conv2", "conv3", "conv4"}) x = call_attr(self, stage, x);

    py::object pyramid = self.attr("spatial_pyramid_pool");
    py::object num_sample = x.attr("size")(0);
    py::list conv_size;
    for (int dim : {2, 3}) {
        py::object to_int = qv::global(m, "int");
        conv_size.append(to_int(x.attr("size")(dim)));
    }
    py::object out = call_with(pyramid, {x, num_sample, conv_size, output_num});
    for (const char *stage : {"fc1", "fc2", "fc3"}) out = call_attr(self, stage, out);
    return out;
}

py::object AlexNet_spatial_pyramid_pool(py::handle m, const qv::Args &args) {
    py::handle previous_conv = args[1], num_sample = args[2], out_pool_size = args[4];
    py::object levels = qv::global(m, "range")(qv::global(m, "len")(out_pool_size));
    py::object spp;  // unassigned until the first level
    for (py::handle i : levels) {
        py::object pool_type = nn_attr(m, "AdaptiveMaxPool2d");
        py::object n_rows = out_pool_size[i];
        py::object n_cols = out_pool_size[i];
        py::object maxpool = pool_type(py::make_tuple(n_rows, n_cols));
        py::object x = maxpool(previous_conv);
        if (i.equal(py::int_(0))) {
            spp = x.attr("view")(num_sample, -1);
        } else {
            py::object cat = qv::global(m, "torch").attr("cat");
            if (!spp) qv::raise_unbound_local("spp");
            spp = cat(py::make_tuple(spp, x.attr("view")(num_sample, -1)), 1);
        }
    }
    if (!spp) qv::raise_unbound_local("spp");
    return spp;
}

constexpr const char *spp_doc =
    "\n        previous_conv: a tensor vector of previous convolution layer"
    "\n        num_sample: an int number of image in the batch"
    "\n        previous_conv_size: an int vector [height, width] of the matrix features size of previous "
    "convolution layer"
    "\n        out_pool_size: a int vector of expected output size of max pooling layer"
    "\n"
    "\n        returns: a tensor vector with shape [1 x n] is the concentration of multi-level pooling"
    "\n        ";

const qv::FunctionSpec lenet_init_spec{"__init__", "LeNet.__init__", {"self"}, LeNet_init};
const qv::FunctionSpec lenet_forward_spec{"forward", "LeNet.forward", {"self", "img"}, LeNet_forward};
const qv::FunctionSpec nin_block_spec{
    "nin_block", nullptr, {"in_channels", "out_channels", "kernel_size", "stride", "padding"}, nin_block};
const qv::FunctionSpec inception_init_spec{
    "__init__", "Inception.__init__", {"self", "in_c", "c1", "c2", "c3", "c4"}, Inception_init};
const qv::FunctionSpec inception_forward_spec{"forward", "Inception.forward", {"self", "x"}, Inception_forward};
const qv::FunctionSpec alexnet_init_spec{"__init__", "AlexNet.__init__", {"self"}, AlexNet_init};
const qv::FunctionSpec alexnet_forward_spec{"forward", "AlexNet.forward", {"self", "x"}, AlexNet_forward};
const qv::FunctionSpec alexnet_spp_spec{"spatial_pyramid_pool",
                                        "AlexNet.spatial_pyramid_pool",
                                        {"self", "previous_conv", "num_sample", "previous_conv_size", "out_pool_size"},
                                        AlexNet_spatial_pyramid_pool,
                                        spp_doc};

py::object module_base(py::module_ m) { return qv::global(m, "nn").attr("Module"); }

}  // namespace

py::object make_LeNet(py::module_ m) {
    return qv::make_class("LeNet", module_base(m), m,
                          {{"__init__", qv::make_function(lenet_init_spec, m)},
                           {"forward", qv::make_function(lenet_forward_spec, m)}});
}

py::object make_nin_block(py::module_ m) { return qv::make_function(nin_block_spec, m); }

py::object make_Inception(py::module_ m) {
    return qv::make_class("Inception", module_base(m), m,
                          {{"__init__", qv::make_function(inception_init_spec, m)},
                           {"forward", qv::make_function(inception_forward_spec, m)}});
}

py::object make_AlexNet(py::module_ m) {
    py::object cls = qv::make_class("AlexNet", module_base(m), m,
                                    {{"__init__", qv::make_function(alexnet_init_spec, m)},
                                     {"forward", qv::make_function(alexnet_forward_spec, m)},
                                     {"spatial_pyramid_pool", qv::make_function(alexnet_spp_spec, m)}});
    if (!alexnet_class) alexnet_class = new py::object();
    *alexnet_class = cls;
    return cls;
}

}  // namespace tavrine
