// Function objects that scripts, inspect, pickle and torch cannot tell from
// Python functions except by their type.
#include "support.hpp"

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>  // member types moved into Python.h in 3.12
#endif

#include <array>
#include <cstring>

namespace qv {
namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec *spec;
    PyObject *module;       // owning module (its namespace serves as globals)
    PyObject *param_names;  // tuple of interned str
    PyObject *name;
    PyObject *qualname;
    PyObject *module_name;
    PyObject *doc;
    PyObject *defaults;     // tuple or None
    PyObject *annotations;  // dict
    PyObject *dict;
    PyObject *weaklist;
    PyObject *code;         // stand-in code object, made on first use
};

PyTypeObject *function_type = nullptr;

FunctionObject *as_function(PyObject *self) { return reinterpret_cast<FunctionObject *>(self); }

// --- argument binding ------------------------------------------------------

void raise_count_error(const FunctionSpec &spec, Py_ssize_t num_min, Py_ssize_t num_max,
                       Py_ssize_t num_found) {
    const bool exact = num_min == num_max;
    const char *qualifier;
    Py_ssize_t expected;
    if (num_found < num_min) {
        expected = num_min;
        qualifier = exact ? "exactly" : "at least";
    } else {
        expected = num_max;
        qualifier = exact ? "exactly" : "at most";
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 spec.name, qualifier, expected, expected == 1 ? "" : "s", num_found);
}

// Index of the parameter `key` names, or -1. Identity first: keywords written
// in source are interned, like our parameter names.
Py_ssize_t find_param(PyObject *param_names, PyObject *key) {
    const Py_ssize_t n = PyTuple_GET_SIZE(param_names);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyTuple_GET_ITEM(param_names, i) == key) return i;
    if (!PyUnicode_Check(key)) return -1;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyUnicode_Compare(PyTuple_GET_ITEM(param_names, i), key) == 0) return i;
    return -1;
}

// Binds positional and keyword arguments to parameter slots, in the order
// and with the wordings of the interpreter's generated argument parsers.
bool bind_arguments(FunctionObject *fn, PyObject *defaults, PyObject *const *args,
                    Py_ssize_t nargs, PyObject *kwnames, PyObject **slots) {
    const FunctionSpec &spec = *fn->spec;
    const Py_ssize_t nparams = static_cast<Py_ssize_t>(spec.params.size());
    const Py_ssize_t ndefaults = PyTuple_Check(defaults) ? PyTuple_GET_SIZE(defaults) : 0;
    const Py_ssize_t nrequired = nparams > ndefaults ? nparams - ndefaults : 0;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;

    if (nargs > nparams || (nkw == 0 && nargs < nrequired)) {
        raise_count_error(spec, nrequired, nparams, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];

    Py_ssize_t matched = 0;
    for (Py_ssize_t i = nargs; i < nparams; ++i) {
        PyObject *param = PyTuple_GET_ITEM(fn->param_names, i);
        PyObject *value = nullptr;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            if (key == param || (PyUnicode_Check(key) && PyUnicode_Compare(key, param) == 0)) {
                value = args[nargs + k];
                break;
            }
        }
        if (value) {
            slots[i] = value;
            ++matched;
        } else if (i < nrequired) {
            raise_count_error(spec, nrequired, nparams, i);
            return false;
        } else {
            slots[i] = PyTuple_GET_ITEM(defaults, i - (nparams - ndefaults));
        }
    }

    if (matched < nkw) {
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.name);
                return false;
            }
            const Py_ssize_t index = find_param(fn->param_names, key);
            if (index >= nargs) continue;
            if (index >= 0) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             spec.name, key);
            } else {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                             spec.name, key);
            }
            return false;
        }
    }
    return true;
}

PyObject *function_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames) noexcept {
    FunctionObject *fn = as_function(self);
    std::array<PyObject *, max_params> slots{};
    // A script may rebind __defaults__ during the call; keep ours alive.
    PyObject *defaults = Py_NewRef(fn->defaults);
    const bool ok = bind_arguments(fn, defaults, args, PyVectorcall_NARGS(nargsf), kwnames, slots.data());
    PyObject *result = nullptr;
    if (ok && !fn->module) {
        PyErr_Format(PyExc_RuntimeError, "%.200s() was called after its module reference was released",
                     fn->spec->name);
    } else if (ok) {
        // The module must outlive a call that rebinds the function itself.
        py::object module = py::reinterpret_borrow<py::object>(fn->module);
        result = boundary([&] {
            return fn->spec->impl(module, Args(slots.data(), fn->spec->params.size()));
        });
    }
    Py_DECREF(defaults);
    return result;
}

// --- descriptor, lifetime, repr --------------------------------------------

PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) noexcept {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// Every owned object is visited: any of them (a str subclass as __name__, an
// object as __module__) can lead back to the function.
int function_traverse(PyObject *self, visitproc visit, void *arg) {
    FunctionObject *fn = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(fn->module);
    Py_VISIT(fn->param_names);
    Py_VISIT(fn->name);
    Py_VISIT(fn->qualname);
    Py_VISIT(fn->module_name);
    Py_VISIT(fn->doc);
    Py_VISIT(fn->defaults);
    Py_VISIT(fn->annotations);
    Py_VISIT(fn->dict);
    Py_VISIT(fn->code);
    return 0;
}

// Breaks reference cycles. The collector may clear a function that other
// objects of the same garbage still reach (a finalizer, a weakref callback),
// so every slot a getter or a call reads is left holding a valid object; the
// parameter names are our own tuple of interned str and cannot be in a cycle.
int function_clear(PyObject *self) {
    FunctionObject *fn = as_function(self);
    PyObject *empty = PyUnicode_FromStringAndSize("", 0);
    if (!empty) {
        PyErr_Clear();  // out of memory: keep the names; the rest still goes
    } else {
        Py_SETREF(fn->name, Py_NewRef(empty));
        Py_SETREF(fn->qualname, empty);
    }
    Py_CLEAR(fn->module);
    Py_SETREF(fn->module_name, Py_NewRef(Py_None));
    Py_SETREF(fn->doc, Py_NewRef(Py_None));
    Py_SETREF(fn->defaults, Py_NewRef(Py_None));
    Py_CLEAR(fn->annotations);
    Py_CLEAR(fn->dict);
    Py_CLEAR(fn->code);
    return 0;
}

void function_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    FunctionObject *fn = as_function(self);
    if (fn->weaklist) PyObject_ClearWeakRefs(self);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->param_names);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    Py_CLEAR(fn->module_name);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->defaults);
    Py_CLEAR(fn->annotations);
    Py_CLEAR(fn->dict);
    Py_CLEAR(fn->code);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *function_repr(PyObject *self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// --- attributes --------------------------------------------------------------

// A checked setter for a str-valued attribute, as functions have.
int set_str(PyObject **slot, PyObject *value, const char *what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}

PyObject *get_name(PyObject *self, void *) { return Py_NewRef(as_function(self)->name); }
int set_name(PyObject *self, PyObject *value, void *) {
    return set_str(&as_function(self)->name, value, "__name__");
}
PyObject *get_qualname(PyObject *self, void *) { return Py_NewRef(as_function(self)->qualname); }
int set_qualname(PyObject *self, PyObject *value, void *) {
    return set_str(&as_function(self)->qualname, value, "__qualname__");
}
PyObject *get_module(PyObject *self, void *) { return Py_NewRef(as_function(self)->module_name); }
int set_module(PyObject *self, PyObject *value, void *) {
    Py_XSETREF(as_function(self)->module_name, Py_NewRef(value ? value : Py_None));
    return 0;
}
PyObject *get_doc(PyObject *self, void *) { return Py_NewRef(as_function(self)->doc); }
int set_doc(PyObject *self, PyObject *value, void *) {
    Py_XSETREF(as_function(self)->doc, Py_NewRef(value ? value : Py_None));
    return 0;
}
PyObject *get_defaults(PyObject *self, void *) { return Py_NewRef(as_function(self)->defaults); }
int set_defaults(PyObject *self, PyObject *value, void *) {
    if (value == nullptr) value = Py_None;
    if (value != Py_None && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    if (value != Py_None && PyTuple_GET_SIZE(value) > static_cast<Py_ssize_t>(as_function(self)->spec->params.size())) {
        PyErr_SetString(PyExc_ValueError, "__defaults__ has more entries than the function has parameters");
        return -1;
    }
    Py_XSETREF(as_function(self)->defaults, Py_NewRef(value));
    return 0;
}
PyObject *get_kwdefaults(PyObject *, void *) { Py_RETURN_NONE; }
// Made again on first use after the collector cleared it.
PyObject *annotations_of(FunctionObject *fn) {
    if (!fn->annotations) fn->annotations = PyDict_New();
    return fn->annotations;
}
PyObject *get_annotations(PyObject *self, void *) {
    PyObject *annotations = annotations_of(as_function(self));
    return annotations ? Py_NewRef(annotations) : nullptr;
}
int set_annotations(PyObject *self, PyObject *value, void *) {
    if (value == nullptr || value == Py_None) {
        PyObject *fresh = PyDict_New();
        if (!fresh) return -1;
        Py_XSETREF(as_function(self)->annotations, fresh);
        return 0;
    }
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_NewRef(value));
    return 0;
}
PyObject *get_text_signature(PyObject *, void *) { Py_RETURN_NONE; }
PyObject *get_globals(PyObject *self, void *) {
    PyObject *module = as_function(self)->module;
    if (!module) {
        PyErr_SetString(PyExc_AttributeError, "__globals__ is gone: the function was cleared");
        return nullptr;
    }
    PyObject *dict = PyModule_GetDict(module);
    return dict ? Py_NewRef(dict) : nullptr;
}

// inspect.Signature built from the parameter table, the current defaults and
// the annotations; every parameter is positional-or-keyword.
PyObject *get_signature(PyObject *self, void *) noexcept {
    return boundary([&] {
        FunctionObject *fn = as_function(self);
        py::module_ inspect = py::module_::import("inspect");
        py::object parameter = inspect.attr("Parameter");
        py::object kind = parameter.attr("POSITIONAL_OR_KEYWORD");
        py::object empty = parameter.attr("empty");
        py::tuple defaults = PyTuple_Check(fn->defaults) ? py::reinterpret_borrow<py::tuple>(fn->defaults)
                                                          : py::tuple();
        py::dict annotations = py::reinterpret_borrow<py::dict>(annotations_of(fn));
        if (!annotations) throw_python_error();
        const Py_ssize_t nparams = PyTuple_GET_SIZE(fn->param_names);
        const Py_ssize_t first_default = nparams - static_cast<Py_ssize_t>(defaults.size());
        py::list params;
        for (Py_ssize_t i = 0; i < nparams; ++i) {
            py::handle name = PyTuple_GET_ITEM(fn->param_names, i);
            py::object def = i >= first_default ? py::object(defaults[i - first_default]) : empty;
            py::object ann = annotations.contains(name) ? py::object(annotations[name]) : empty;
            params.append(parameter(name, kind, py::arg("default") = def, py::arg("annotation") = ann));
        }
        py::object ret = annotations.contains("return") ? py::object(annotations["return"]) : empty;
        return inspect.attr("Signature")(params, py::arg("return_annotation") = ret);
    });
}

// A code object with the function's name, qualified name and parameters and
// an empty body, for tools that read a function's code to learn what it is
// called and where it lives (the tensor library's export path names its
// traces after it). It is never executed: calls always reach the native body.
PyObject *get_code(PyObject *self, void *) noexcept {
    FunctionObject *fn = as_function(self);
    if (fn->code) return Py_NewRef(fn->code);
    return boundary([&] {
        // From the fixed table, whatever a script has since renamed: always identifiers.
        std::string source = std::string("def ") + fn->spec->name + "(";
        for (std::size_t i = 0; i < fn->spec->params.size(); ++i) {
            if (i) source += ", ";
            source += fn->spec->params[i];
        }
        source += "): pass\n";
        py::object filename = py::getattr(py::handle(fn->module), "__file__", py::none());
        if (!PyUnicode_Check(filename.ptr())) filename = py::str("<" + py::str(fn->module_name).cast<std::string>() + ">");
        py::object builtins = py::module_::import("builtins");
        py::object module_code = builtins.attr("compile")(source, filename, "exec");
        py::object code;
        for (py::handle constant : py::tuple(module_code.attr("co_consts")))
            if (PyCode_Check(constant.ptr())) code = py::reinterpret_borrow<py::object>(constant);
        if (!code) throw std::logic_error("no function code compiled");
#if PY_VERSION_HEX >= 0x030B0000
        code = code.attr("replace")(py::arg("co_qualname") = py::handle(fn->qualname));
#endif
        if (!fn->code) fn->code = Py_NewRef(code.ptr());
        return code;
    });
}

PyObject *function_reduce(PyObject *self, PyObject *) noexcept {
    // Pickled by reference: the module and qualified name lead back here.
    return Py_NewRef(as_function(self)->qualname);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

#if PY_VERSION_HEX >= 0x030C0000
#define QV_T_PYSSIZET Py_T_PYSSIZET
#define QV_READONLY Py_READONLY
#else
#define QV_T_PYSSIZET T_PYSSIZET
#define QV_READONLY READONLY
#endif

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", QV_T_PYSSIZET, offsetof(FunctionObject, vectorcall), QV_READONLY, nullptr},
    {"__dictoffset__", QV_T_PYSSIZET, offsetof(FunctionObject, dict), QV_READONLY, nullptr},
    {"__weaklistoffset__", QV_T_PYSSIZET, offsetof(FunctionObject, weaklist), QV_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

}  // namespace

void init_function_type(py::handle module) {
    if (function_type) return;
    static std::string type_name;
    type_name = py::str(module.attr("__name__")).cast<std::string>() + ".function";
    PyType_Slot slots[] = {
        {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
        {Py_tp_descr_get, reinterpret_cast<void *>(function_descr_get)},
        {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
        {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
        {Py_tp_clear, reinterpret_cast<void *>(function_clear)},
        {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
        {Py_tp_getset, function_getset},
        {Py_tp_methods, function_methods},
        {Py_tp_members, function_members},
        {0, nullptr},
    };
    PyType_Spec spec = {
        type_name.c_str(),
        sizeof(FunctionObject),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
            Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        slots,
    };
    PyObject *type = PyType_FromModuleAndSpec(module.ptr(), &spec, nullptr);
    if (!type) throw_python_error();
    // Kept for the life of the process, like the module itself.
    function_type = reinterpret_cast<PyTypeObject *>(type);
}

bool is_function(py::handle object) {
    PyObject *target = object.ptr();
    if (PyMethod_Check(target)) target = PyMethod_GET_FUNCTION(target);
    return function_type && Py_TYPE(target) == function_type;
}

py::object make_function(const FunctionSpec &spec, py::handle module, py::object defaults,
                         py::object annotations) {
    if (!function_type) throw std::logic_error("function type not initialised");
    if (spec.params.size() > max_params) throw std::logic_error("too many parameters");
    if (!defaults.is_none() && !PyTuple_Check(defaults.ptr()))
        throw py::type_error("defaults must be a tuple or None");
    if (annotations.is_none()) annotations = py::dict();

    py::tuple names(spec.params.size());
    for (std::size_t i = 0; i < spec.params.size(); ++i) {
        PyObject *name = PyUnicode_InternFromString(spec.params[i]);
        if (!name) throw_python_error();
        PyTuple_SET_ITEM(names.ptr(), static_cast<Py_ssize_t>(i), name);
    }
    py::str name(spec.name);
    py::str qualname(spec.qualname ? spec.qualname : spec.name);
    py::object module_name = module.attr("__name__");
    py::object doc = spec.doc ? py::object(py::str(spec.doc)) : py::object(py::none());

    auto *fn = PyObject_GC_New(FunctionObject, function_type);
    if (!fn) throw_python_error();
    fn->vectorcall = function_vectorcall;
    fn->spec = &spec;
    fn->module = Py_NewRef(module.ptr());
    fn->param_names = names.release().ptr();
    fn->name = name.release().ptr();
    fn->qualname = qualname.release().ptr();
    fn->module_name = module_name.release().ptr();
    fn->doc = doc.release().ptr();
    fn->defaults = defaults.release().ptr();
    fn->annotations = annotations.release().ptr();
    fn->dict = nullptr;
    fn->weaklist = nullptr;
    fn->code = nullptr;
    PyObject_GC_Track(fn);
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(fn));
}

}  // namespace qv
