// torch.compile decides per callable whether to trace its Python frames. It
// asks the trace rules about a module's `forward` before anything runs, and
// those rules assume a bound method wraps a Python function with a source
// file, so they fail on our native methods. Our methods have no frames to
// trace: the rules are told to skip them, so the compiler calls them as they
// are, and the library layers they call (Python frames) are compiled as usual.
#include "tavrine.hpp"

namespace tavrine {
namespace {

// The rules function we wrap and the library's result type; kept for the
// process, like the module.
py::object *original_rules = nullptr;
py::object *skip_result = nullptr;

py::object check_verbose(py::handle, const qv::Args &args) {
    py::handle obj = args[0];
    if (qv::is_function(obj))
        return (*skip_result)(true, "native method of quorvane.Source.tavrine: called, not traced");
    return (*original_rules)(obj, args[1], args[2]);
}

const qv::FunctionSpec check_verbose_spec{
    "check_verbose", nullptr, {"obj", "is_inlined_call", "frame"}, check_verbose};

}  // namespace

void register_with_compiler(py::module_ m) {
    if (original_rules) return;
    py::object rules;
    try {
        rules = py::module_::import("torch._dynamo.trace_rules");
    } catch (py::error_already_set &e) {
        // A library without a usable compiler: nothing to tell it, and no
        // reason to refuse the import.
        if (!e.matches(PyExc_Exception)) throw;
        return;
    }
    py::object current = py::getattr(rules, "check_verbose", py::none());
    py::object result_type = py::getattr(rules, "SkipResult", py::none());
    if (current.is_none() || result_type.is_none()) return;
    // Only a rules function of the shape we know; another library version
    // keeps its own behaviour rather than getting arguments it does not take.
    py::object signature = py::module_::import("inspect").attr("signature")(current);
    py::list names(signature.attr("parameters"));
    if (!names.equal(py::list(py::make_tuple("obj", "is_inlined_call", "frame")))) return;
    original_rules = new py::object(current);
    skip_result = new py::object(result_type);
    rules.attr("check_verbose") = qv::make_function(check_verbose_spec, m, py::make_tuple(false, py::none()));
}

}  // namespace tavrine
