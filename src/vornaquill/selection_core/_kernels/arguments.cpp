#include "arguments.hpp"

#include "py_ref.hpp"

namespace vq {
namespace {

// An int object for `o`: ints as they are, anything else through its type's `__int__`.
PyRef as_int(PyObject *o) {
    if (PyLong_Check(o)) return PyRef::borrow(o);
    PyNumberMethods *nb = Py_TYPE(o)->tp_as_number;
    if (!nb || !nb->nb_int) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return PyRef();
    }
    PyRef r = PyRef::steal(nb->nb_int(o));
    if (!r || PyLong_CheckExact(r.get())) return r;
    if (PyLong_Check(r.get())) {
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an "
                             "instance of a strict subclass of int is deprecated, and may be "
                             "removed in a future version of Python.",
                             Py_TYPE(r.get())->tp_name) < 0)
            return PyRef();
        return r;
    }
    PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(r.get())->tp_name);
    return PyRef();
}

int convert(PyObject *o, ParamKind kind, ArgValue *out) {
    switch (kind) {
    case ParamKind::Object: out->obj = o; return 0;
    case ParamKind::Double: {
        double v = PyFloat_CheckExact(o) ? PyFloat_AS_DOUBLE(o) : PyFloat_AsDouble(o);
        if (v == -1.0 && PyErr_Occurred()) return -1;
        out->f64 = v;
        return 0;
    }
    default: break;
    }
    PyRef n = as_int(o);
    if (!n) return -1;
    if (kind == ParamKind::Int64) {
        long long v = PyLong_AsLongLong(n.get());
        if (v == -1 && PyErr_Occurred()) return -1;
        out->i64 = v;
        return 0;
    }
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(n.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return -1;
    if (kind == ParamKind::Int32) {
        if (overflow || v < INT32_MIN || v > INT32_MAX) {
            PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
            return -1;
        }
        out->i32 = static_cast<int32_t>(v);
        return 0;
    }
    if (overflow < 0 || (!overflow && v < 0)) {
        PyErr_SetString(PyExc_OverflowError, "can't convert negative value to unsigned PY_LONG_LONG");
        return -1;
    }
    unsigned long long u = PyLong_AsUnsignedLongLong(n.get());
    if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return -1;
    out->u64 = u;
    return 0;
}

}  // namespace

int convert_args(const ParamSpec *params, PyObject *const *given, int n, ArgValue *values) {
    for (int i = 0; i < n; ++i) {
        if (!given[i]) {
            values[i] = params[i].default_value;
        } else if (convert(given[i], params[i].kind, &values[i]) < 0) {
            return -1;
        }
    }
    return 0;
}

CountsOptions counts_options(const ArgValue *a) {
    CountsOptions o{};
    o.percentile = a[kPercentile].f64;
    o.seed = a[kSeed].u64;
    o.mode_i = a[kModeI].i32;
    o.within_mode_i = a[kWithinModeI].i32;
    return o;
}

DetailedOptions detailed_options(const ArgValue *a) {
    DetailedOptions o{};
    static_cast<CountsOptions &>(o) = counts_options(a);
    o.quantiles_mode_i = a[kQuantilesModeI].i32;
    o.quantiles_budget = a[kQuantilesBudget].i64;
    o.quality_w_place = a[kQualityWPlace].f64;
    o.quality_w_front = a[kQualityWFront].f64;
    o.quality_w_within = a[kQualityWWithin].f64;
    o.quality_sign = a[kQualitySign].f64;
    return o;
}

}  // namespace vq
