// Training: the minibatch SGD step, the step learning-rate schedule and the
// epoch loop with its progress lines and live accuracy plot.
#include "training_calls.hpp"

namespace tavrine {
namespace training {
namespace {

// sgd(params, lr, batch_size): param.data -= lr * param.grad / batch_size for
// each parameter in turn. The update goes through `data`, so autograd does not
// record it; gradients are left for the caller to reset.
py::object sgd(py::handle, const qv::Args &args) {
    const Names &k = names();
    py::handle params = args[0];
    py::handle lr = args[1];
    py::handle batch_size = args[2];

    py::object iterator = iterate(params);
    while (py::object param = next(iterator)) {
        // The order of `param.data -= lr * param.grad / batch_size`.
        py::object data = attr_of(param, k.data);
        py::object step = true_divide(multiply(lr, attr_of(param, k.grad)), batch_size);
        py::object updated = qv::steal_or_throw(PyNumber_InPlaceSubtract(data.ptr(), step.ptr()));
        if (PyObject_SetAttr(param.ptr(), k.data.ptr(), updated.ptr()) < 0) qv::throw_python_error();
    }
    return py::none();
}

// adjust_learning_rate(optimizer, epoch, lr): every group gets
// lr * 0.7 ** (epoch // 60), always computed from the base rate.
py::object adjust_learning_rate(py::handle module, const qv::Args &args) {
    const Names &k = names();
    py::handle optimizer = args[0];
    py::handle epoch = args[1];
    py::handle lr = args[2];

    py::object periods = qv::steal_or_throw(PyNumber_FloorDivide(epoch.ptr(), k.sixty.ptr()));
    py::object decay = qv::steal_or_throw(PyNumber_Power(k.seven_tenths.ptr(), periods.ptr(), Py_None));
    py::object factor = multiply(lr, decay);

    py::object iterator = iterate(attr_of(optimizer, k.param_groups));
    py::object label = py::str("Learning rate: ");
    while (py::object param_group = next(iterator)) {
        if (PyObject_SetItem(param_group.ptr(), k.lr.ptr(), factor.ptr()) < 0) qv::throw_python_error();
        // Read back, so the line shows what the group actually holds.
        py::object print = qv::global(module, k.print);
        py::object stored = item_of(param_group, k.lr);
        qv::print(print, {label, stored});
    }
    return py::none();
}

// Manual mode's gradient reset: only once the first backward pass has made
// gradients; before that there is nothing to zero.
void reset_gradients(const Names &k, py::handle params) {
    if (params.is_none()) return;
    py::object first = item_of(params, k.zero);
    if (attr_of(first, k.grad).is_none()) return;
    py::object iterator = iterate(params);
    while (py::object param = next(iterator)) call_method(attr_of(attr_of(param, k.grad), k.data), k.zero_);
}

py::object progress_line(const Names &k, py::handle epoch, py::handle train_l_sum, py::handle train_acc_sum,
                         py::handle n, py::handle test_acc, py::handle test_acc_pf) {
    // Built part by part, left to right, so a failure is the one the
    // leftmost bad value gives.
    py::object shown_epoch = qv::steal_or_throw(PyNumber_Long(add(epoch, k.one).ptr()));
    py::object epoch_text = format(shown_epoch, k.fmt_d);
    py::object loss_text = format(true_divide(train_l_sum, n), k.fmt_4f);
    py::object train_text = format(true_divide(train_acc_sum, n), k.fmt_3f);
    py::object test_text = format(test_acc, k.fmt_3f);
    py::object test_pf_text = format(test_acc_pf, k.fmt_3f);
    py::object parts = py::make_tuple(k.epoch_label, epoch_text, k.loss_label, loss_text, k.train_label, train_text,
                                      k.test_label, test_text, k.test_pf_label, test_pf_text);
    return qv::steal_or_throw(PyUnicode_Join(k.empty.ptr(), parts.ptr()));
}

// train_network(net, train_iter, test_iter, loss, num_epochs, batch_size,
//               params=None, lr=None, optimizer=None)
py::object train_network(py::handle module, const qv::Args &args) {
    const Names &k = names();
    py::handle net = args[0];
    py::handle train_iter = args[1];
    py::handle test_iter = args[2];
    py::handle loss = args[3];
    py::handle num_epochs = args[4];
    py::handle batch_size = args[5];
    py::handle params = args[6];
    py::handle lr = args[7];
    py::handle optimizer = args[8];
    const bool manual = optimizer.is_none();

    call_method(qv::global(module, k.plt), k.ion);
    py::object fig = call_method(qv::global(module, k.plt), k.figure);
    py::list limits;  // fresh on every call: x from 0 to 100, y from 0.0 to 1.0
    limits.append(0);
    limits.append(100);
    limits.append(0.0);
    limits.append(1.0);
    call_method(qv::global(module, k.plt), k.axis, limits);
    call_method(qv::global(module, k.plt), k.grid);

    py::object epochs = iterate(call(qv::global(module, k.range), num_epochs));
    while (py::object epoch = next(epochs)) {
        py::object train_l_sum = k.zero_f;
        py::object train_acc_sum = k.zero_f;
        py::object n = k.zero;

        py::object batches = iterate(train_iter);
        while (py::object batch = next(batches)) {
            std::vector<py::object> pair = qv::unpack(batch, 2);
            const py::object &X = pair[0];
            const py::object &y = pair[1];

            py::object y_hat = call(net, X);
            py::object l = call(loss, y_hat, y);
            if (manual)
                reset_gradients(k, params);
            else
                call_method(optimizer, k.zero_grad);
            call_method(l, k.backward);
            if (manual)
                call(qv::global(module, k.sgd), params, lr, batch_size);
            else
                call_method(optimizer, k.step);
            train_l_sum = in_place_add(train_l_sum, call_method(l, k.item));

            // Scored on the outputs of the forward pass made before the update.
            y_hat = call(qv::global(module, k.reformat_output), y_hat);
            py::object torch_sum = attr_of(qv::global(module, k.torch), k.sum);
            py::object check_result = call(torch_sum, equal(y_hat, y), k.one);
            py::object exact = call_method(call_method(equal(check_result, k.six), k.sum), k.item);
            train_acc_sum = in_place_add(train_acc_sum, exact);
            n = in_place_add(n, item_of(attr_of(y, k.shape), k.zero));
        }

        std::vector<py::object> accuracies = qv::unpack(call(qv::global(module, k.evaluate_accuracy), test_iter, net), 2);
        const py::object &test_acc = accuracies[0];
        const py::object &test_acc_pf = accuracies[1];
        if (!manual) call_method(optimizer, k.zero_grad);
        call_method(qv::global(module, k.plt), k.plot, epoch, test_acc, k.red_dot);
        call_method(qv::global(module, k.plt), k.plot, epoch, test_acc_pf, k.blue_plus);
        call_method(qv::global(module, k.plt), k.pause, k.pause_s);
        py::object line = progress_line(k, epoch, train_l_sum, train_acc_sum, n, test_acc, test_acc_pf);
        qv::print(qv::global(module, k.print), {line});
    }

    // Each argument-less grid call toggles the grid of the current axes.
    call_method(qv::global(module, k.plt), k.grid);
    call_method(qv::global(module, k.plt), k.ioff);
    call_method(qv::global(module, k.plt), k.grid);
    return py::none();
}

const qv::FunctionSpec sgd_spec{"sgd", nullptr, {"params", "lr", "batch_size"}, sgd};
const qv::FunctionSpec train_network_spec{
    "train_network",
    nullptr,
    {"net", "train_iter", "test_iter", "loss", "num_epochs", "batch_size", "params", "lr", "optimizer"},
    train_network};
const qv::FunctionSpec adjust_learning_rate_spec{"adjust_learning_rate", nullptr, {"optimizer", "epoch", "lr"},
                                                 adjust_learning_rate,
                                                 "Reduce learning rate by half every 50 epoch"};

}  // namespace
}  // namespace training

py::object make_sgd(py::module_ m) { return qv::make_function(training::sgd_spec, m); }

py::object make_train_network(py::module_ m) {
    return qv::make_function(training::train_network_spec, m, py::make_tuple(py::none(), py::none(), py::none()));
}

py::object make_adjust_learning_rate(py::module_ m) {
    return qv::make_function(training::adjust_learning_rate_spec, m);
}

}  // namespace tavrine
