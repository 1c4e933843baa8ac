// The interned names and constants of the training and evaluation bodies
// (declared in training_calls.hpp).
#include "training_calls.hpp"

namespace tavrine::training {

namespace {

py::object intern(const char *text) { return qv::steal_or_throw(PyUnicode_InternFromString(text)); }

}  // namespace

const Names &names() {
    // Built at module initialisation (the factories ask for it) and kept for
    // the life of the process.
    static const Names *the_names = [] {
        auto *n = new Names{};
        n->torch = intern("torch");
        n->plt = intern("plt");
        n->print = intern("print");
        n->range = intern("range");
        n->sgd = intern("sgd");
        n->reformat_output = intern("reformat_output");
        n->evaluate_accuracy = intern("evaluate_accuracy");
        n->eval = intern("eval");
        n->train = intern("train");
        n->sum = intern("sum");
        n->float_ = intern("float");
        n->item = intern("item");
        n->logical_and = intern("logical_and");
        n->shape = intern("shape");
        n->zero_grad = intern("zero_grad");
        n->step = intern("step");
        n->backward = intern("backward");
        n->grad = intern("grad");
        n->data = intern("data");
        n->zero_ = intern("zero_");
        n->param_groups = intern("param_groups");
        n->lr = intern("lr");
        n->ion = intern("ion");
        n->figure = intern("figure");
        n->axis = intern("axis");
        n->grid = intern("grid");
        n->plot = intern("plot");
        n->pause = intern("pause");
        n->ioff = intern("ioff");
        n->masked_fill_ = intern("masked_fill_");
        n->copy_ = intern("copy_");
        n->zero = py::int_(0);
        n->one = py::int_(1);
        n->six = py::int_(6);
        n->zero_f = py::float_(0.0);
        n->half = py::float_(0.5);
        n->seven_tenths = py::float_(0.7);
        n->sixty = py::int_(60);
        n->pause_s = py::float_(0.001);
        n->red_dot = intern(".r");
        n->blue_plus = intern("+b");
        n->col0 = py::make_tuple(py::slice(py::none(), py::none(), py::none()), 0);
        n->col1 = py::make_tuple(py::slice(py::none(), py::none(), py::none()), 1);
        n->empty = intern("");
        n->fmt_d = intern("d");
        n->fmt_4f = intern(".4f");
        n->fmt_3f = intern(".3f");
        n->epoch_label = intern("epoch ");
        n->loss_label = intern(", loss ");
        n->train_label = intern(", train acc ");
        n->test_label = intern(", test acc ");
        n->test_pf_label = intern(", test acc P/F ");
        return n;
    }();
    return *the_names;
}

}  // namespace tavrine::training
