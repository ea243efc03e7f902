// Load-time state of the kernels and the imports that fill it: NumPy's array type and the rating
// component's C-level entry. Every extension that runs the kernels calls both in its exec step.
#include "numpy_api.hpp"

#include <cstring>

#include "kernels.hpp"
#include "py_ref.hpp"
#include "rating_abi.hpp"

namespace vq {

RatePopulationFn g_rate_population = nullptr;
PyTypeObject *g_ndarray_type = nullptr;

int import_ndarray_type() {
    PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return -1;
    PyRef t = PyRef::steal(PyObject_GetAttrString(numpy.get(), "ndarray"));
    if (!t) return -1;
    if (!PyType_Check(t.get())) {
        PyErr_SetString(PyExc_TypeError, "numpy.ndarray is not a type");
        return -1;
    }
    // Kept for the life of the process. A reload of the module finds the same object; the
    // reference taken by the earlier load is dropped so repeated loads do not accumulate.
    PyTypeObject *previous = g_ndarray_type;
    g_ndarray_type = reinterpret_cast<PyTypeObject *>(t.release());
    Py_XDECREF(previous);
    return 0;
}

// Take rate_population_inplace from the sibling's __pyx_capi__ table, checking the capsule name.
int import_rating_function() {
    PyRef sibling = PyRef::steal(PyImport_ImportModule(kRatingModuleName));
    if (!sibling) return -1;
    PyRef capi = PyRef::steal(PyObject_GetAttrString(sibling.get(), "__pyx_capi__"));
    if (!capi) return -1;
    const char *sibling_name = PyModule_Check(sibling.get()) ? PyModule_GetName(sibling.get()) : nullptr;
    if (!sibling_name) {
        PyErr_Clear();
        sibling_name = kRatingModuleName;
    }
    PyObject *capsule = PyDict_Check(capi.get()) ? PyDict_GetItemString(capi.get(), kRateFunctionName)
                                                 : nullptr;  // borrowed
    if (!capsule) {
        PyErr_Format(PyExc_ImportError, "%.200s does not export expected C %.8s %.200s", sibling_name, "function",
                     kRateFunctionName);
        return -1;
    }
    const char *got = PyCapsule_CheckExact(capsule) ? PyCapsule_GetName(capsule) : Py_TYPE(capsule)->tp_name;
    if (!got || std::strcmp(got, kRateSignature) != 0) {
        PyErr_Format(PyExc_TypeError, "C %.8s %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                     "function", sibling_name, kRateFunctionName, kRateSignature, got ? got : "(null)");
        return -1;
    }
    void *p = PyCapsule_GetPointer(capsule, kRateSignature);
    if (!p) return -1;
    g_rate_population = reinterpret_cast<RatePopulationFn>(p);
    return 0;
}

}  // namespace vq
