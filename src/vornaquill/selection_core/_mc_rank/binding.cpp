#include "binding.hpp"

#include <cstddef>
#include <cstring>

#include <structmember.h>

#include "py_ref.hpp"

namespace vq {
namespace {

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec *spec;
    PyObject *module;       // defining module: kernels look `np` up in its namespace
    PyObject *name;         // str
    PyObject *qualname;     // str
    PyObject *module_name;  // str, `__module__`
    PyObject *doc;          // str
    PyObject *defaults;     // tuple of the optional parameters' defaults
    PyObject *code;         // code object whose arguments are the parameters
    PyObject *annotations;  // empty dict, as for an unannotated Python function
    PyObject *weaklist;     // weak references to this function
};

// ---- argument binding --------------------------------------------------------------------

int raise_arg_count(const FunctionSpec &spec, const char *bound, Py_ssize_t expected, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", spec.name, bound,
                 expected, expected == 1 ? "" : "s", given);
    return -1;
}

int param_index(const FunctionSpec &spec, PyObject *key) {
    for (int i = 0; i < spec.n_params; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, spec.params[i].name) == 0) return i;
    }
    return -1;
}

// Positional arguments first, then keywords by name; then the required slots must be filled.
int bind(const FunctionSpec &spec, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **slots) {
    if (nargs > spec.n_params) return raise_arg_count(spec, "at most", spec.n_params, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, j);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.name);
            return -1;
        }
        int idx = param_index(spec, key);
        if (idx < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.name, key);
            return -1;
        }
        if (slots[idx]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", spec.name, key);
            return -1;
        }
        slots[idx] = args[nargs + j];
    }
    for (int i = 0; i < spec.n_required; ++i) {
        if (!slots[i]) return raise_arg_count(spec, "at least", spec.n_required, i);
    }
    return 0;
}

PyObject *function_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    auto *f = reinterpret_cast<Function *>(self);
    const FunctionSpec &spec = *f->spec;
    PyObject *slots[kMaxParams] = {};
    if (bind(spec, args, PyVectorcall_NARGS(nargsf), kwnames, slots) < 0) return nullptr;
    ArgValue values[kMaxParams];
    if (convert_args(spec.params, slots, spec.n_params, values) < 0) return nullptr;
    return spec.entry(f->module, values);
}

// ---- introspection -----------------------------------------------------------------------

PyObject *default_object(const ParamSpec &p) {
    switch (p.kind) {
    case ParamKind::Int32: return PyLong_FromLong(p.default_value.i32);
    case ParamKind::UInt64: return PyLong_FromUnsignedLongLong(p.default_value.u64);
    case ParamKind::Int64: return PyLong_FromLongLong(p.default_value.i64);
    case ParamKind::Double: return PyFloat_FromDouble(p.default_value.f64);
    case ParamKind::Object: break;
    }
    Py_RETURN_NONE;
}

PyRef make_defaults(const FunctionSpec &spec) {
    PyRef t = PyRef::steal(PyTuple_New(spec.n_params - spec.n_required));
    if (!t) return t;
    for (int i = spec.n_required; i < spec.n_params; ++i) {
        PyObject *d = default_object(spec.params[i]);
        if (!d) return PyRef();
        PyTuple_SET_ITEM(t.get(), i - spec.n_required, d);
    }
    return t;
}

// A code object with no body whose positional-or-keyword arguments are the parameters, so
// that `inspect.signature` reads the same signature as for a Python function.
PyRef make_code(const FunctionSpec &spec, PyObject *name, PyObject *module_name) {
    PyRef varnames = PyRef::steal(PyTuple_New(spec.n_params));
    if (!varnames) return varnames;
    for (int i = 0; i < spec.n_params; ++i) {
        PyObject *s = PyUnicode_InternFromString(spec.params[i].name);
        if (!s) return PyRef();
        PyTuple_SET_ITEM(varnames.get(), i, s);
    }
    const char *filename = PyUnicode_AsUTF8(module_name);
    if (!filename) return PyRef();
    PyRef empty = PyRef::steal(reinterpret_cast<PyObject *>(PyCode_NewEmpty(filename, spec.name, 0)));
    if (!empty) return empty;
    PyRef replace = PyRef::steal(PyObject_GetAttrString(empty.get(), "replace"));
    PyRef no_args = PyRef::steal(PyTuple_New(0));
    PyRef kw = PyRef::steal(Py_BuildValue("{s:i,s:i,s:O,s:O,s:O}", "co_argcount", spec.n_params, "co_nlocals",
                                          spec.n_params, "co_varnames", varnames.get(), "co_name", name,
                                          "co_qualname", name));
    if (!replace || !no_args || !kw) return PyRef();
    return PyRef::steal(PyObject_Call(replace.get(), no_args.get(), kw.get()));
}

int function_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *f = reinterpret_cast<Function *>(self);
    Py_VISIT(f->module);
    Py_VISIT(f->defaults);
    Py_VISIT(f->code);
    Py_VISIT(f->annotations);
    return 0;
}

int function_clear(PyObject *self) {
    auto *f = reinterpret_cast<Function *>(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module_name);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->code);
    Py_CLEAR(f->annotations);
    return 0;
}

void function_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    if (reinterpret_cast<Function *>(self)->weaklist) PyObject_ClearWeakRefs(self);
    function_clear(self);
    PyObject_GC_Del(self);
}

PyObject *function_repr(PyObject *self) {
    auto *f = reinterpret_cast<Function *>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

PyObject *get_kwdefaults(PyObject *, void *) { Py_RETURN_NONE; }

// Functions are singletons of their module: pickle stores the qualified name (pickle finds the
// module through `__module__`), and copies are the function itself, as for Python functions.
PyObject *function_reduce(PyObject *self, PyObject *) {
    return PyRef::borrow(reinterpret_cast<Function *>(self)->qualname).release();
}

PyObject *function_copy(PyObject *self, PyObject *) { return PyRef::borrow(self).release(); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {"__copy__", function_copy, METH_NOARGS, nullptr},
    {"__deepcopy__", function_copy, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__name__", T_OBJECT, offsetof(Function, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(Function, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(Function, module_name), READONLY, nullptr},
    {"__doc__", T_OBJECT, offsetof(Function, doc), READONLY, nullptr},
    {"__defaults__", T_OBJECT, offsetof(Function, defaults), READONLY, nullptr},
    {"__code__", T_OBJECT, offsetof(Function, code), READONLY, nullptr},
    {"__annotations__", T_OBJECT, offsetof(Function, annotations), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Function, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject function_type = [] {
    PyTypeObject t{};
    Py_SET_REFCNT(reinterpret_cast<PyObject *>(&t), 1);  // what PyVarObject_HEAD_INIT sets
    t.tp_name = "vornaquill.selection_core._mc_rank.kernel_function";
    t.tp_basicsize = sizeof(Function);
    t.tp_dealloc = function_dealloc;
    t.tp_vectorcall_offset = offsetof(Function, vectorcall);
    t.tp_repr = function_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE;
    t.tp_doc = "Native function of vornaquill.selection_core._mc_rank.";
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_weaklistoffset = offsetof(Function, weaklist);
    t.tp_methods = function_methods;
    t.tp_members = function_members;
    t.tp_getset = function_getset;
    return t;
}();

}  // namespace

int function_type_ready() { return PyType_Ready(&function_type); }

PyObject *function_new(const FunctionSpec *spec, PyObject *module, PyObject *module_name) {
    PyRef name = PyRef::steal(PyUnicode_InternFromString(spec->name));
    PyRef doc = PyRef::steal(PyUnicode_FromString(spec->doc));
    if (!name || !doc) return nullptr;
    PyRef defaults = make_defaults(*spec);
    if (!defaults) return nullptr;
    PyRef code = make_code(*spec, name.get(), module_name);
    PyRef annotations = PyRef::steal(PyDict_New());
    if (!code || !annotations) return nullptr;
    auto *f = PyObject_GC_New(Function, &function_type);
    if (!f) return nullptr;
    f->vectorcall = function_vectorcall;
    f->spec = spec;
    f->module = PyRef::borrow(module).release();
    f->qualname = PyRef::borrow(name.get()).release();
    f->name = name.release();
    f->module_name = PyRef::borrow(module_name).release();
    f->doc = doc.release();
    f->defaults = defaults.release();
    f->code = code.release();
    f->annotations = annotations.release();
    f->weaklist = nullptr;
    PyObject_GC_Track(f);
    return reinterpret_cast<PyObject *>(f);
}

}  // namespace vq
