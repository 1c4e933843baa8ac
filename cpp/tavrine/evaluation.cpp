// Scoring a network: the raw scores become 0/1 label vectors, and the
// exact-match and pass/fail accuracies are counted per sample over a loader.
#include "training_calls.hpp"

namespace tavrine {
namespace training {

namespace {

// reformat_output(y_hat): Fail/Pass become one exclusive choice by the larger
// raw score, the other flags a 0.5 threshold; rewritten in place.
//
// The choice compares the raw scores directly rather than dividing by the row
// maximum: the network's scores are often negative, and a quotient by a
// negative or zero maximum would mark both columns or leave NaN. Both
// comparisons are taken before anything is written, so a tie keeps both
// columns at 1 and a NaN score compares false on either side.
py::object reformat_output(py::handle, const qv::Args &args) {
    const Names &k = names();
    py::handle y_hat = args[0];

    py::object fail_col = item_of(y_hat, k.col0);
    py::object pass_col = item_of(y_hat, k.col1);
    py::object fail = qv::steal_or_throw(PyObject_RichCompare(fail_col.ptr(), pass_col.ptr(), Py_GE));
    py::object pass = qv::steal_or_throw(PyObject_RichCompare(pass_col.ptr(), fail_col.ptr(), Py_GE));

    // Both masks come from the values before either fill; a NaN matches
    // neither and stays as it is.
    py::object high = qv::steal_or_throw(PyObject_RichCompare(y_hat.ptr(), k.half.ptr(), Py_GE));
    py::object low = qv::steal_or_throw(PyObject_RichCompare(y_hat.ptr(), k.half.ptr(), Py_LT));
    call_method(y_hat, k.masked_fill_, high, k.one);
    call_method(y_hat, k.masked_fill_, low, k.zero);

    // The column views write through to y_hat.
    call_method(fail_col, k.copy_, fail);
    call_method(pass_col, k.copy_, pass);
    return py::reinterpret_borrow<py::object>(y_hat);
}

// evaluate_accuracy(data_iter, net) -> (exact-match accuracy, pass/fail accuracy)
py::object evaluate_accuracy(py::handle module, const qv::Args &args) {
    const Names &k = names();
    py::handle data_iter = args[0];
    py::handle net = args[1];

    call_method(net, k.eval);
    py::object acc_sum = k.zero_f;
    py::object n = k.zero;
    py::object acc_sum_pf = k.zero_f;

    py::object iterator = iterate(data_iter);
    while (py::object batch = next(iterator)) {
        std::vector<py::object> pair = qv::unpack(batch, 2);
        const py::object &X = pair[0];
        const py::object &y = pair[1];

        py::object y_hat = call(net, X);
        y_hat = call(qv::global(module, k.reformat_output), y_hat);
        // Operands in source order: the function first, then its arguments
        // left to right.
        py::object torch_sum = attr_of(qv::global(module, k.torch), k.sum);
        py::object check_result = call(torch_sum, equal(y_hat, y), k.one);
        py::object logical_and = attr_of(qv::global(module, k.torch), k.logical_and);
        py::object fail_hat = item_of(y_hat, k.col0);
        py::object fail_match = equal(fail_hat, item_of(y, k.col0));
        py::object pass_hat = item_of(y_hat, k.col1);
        py::object pass_match = equal(pass_hat, item_of(y, k.col1));
        py::object check_result_pf = call(logical_and, fail_match, pass_match);

        py::object exact = call_method(call_method(call_method(equal(check_result, k.six), k.float_), k.sum), k.item);
        acc_sum = in_place_add(acc_sum, exact);
        py::object pf = call_method(call_method(call_method(check_result_pf, k.float_), k.sum), k.item);
        acc_sum_pf = in_place_add(acc_sum_pf, pf);
        n = in_place_add(n, item_of(attr_of(y, k.shape), k.zero));
    }

    call_method(net, k.train);
    py::object exact_acc = true_divide(acc_sum, n);
    py::object pf_acc = true_divide(acc_sum_pf, n);
    return py::make_tuple(exact_acc, pf_acc);
}

const qv::FunctionSpec evaluate_accuracy_spec{"evaluate_accuracy", nullptr, {"data_iter", "net"}, evaluate_accuracy};
const qv::FunctionSpec reformat_output_spec{"reformat_output", nullptr, {"y_hat"}, reformat_output};

}  // namespace
}  // namespace training

py::object make_evaluate_accuracy(py::module_ m) {
    training::names();
    return qv::make_function(training::evaluate_accuracy_spec, m);
}

py::object make_reformat_output(py::module_ m) { return qv::make_function(training::reformat_output_spec, m); }

}  // namespace tavrine
