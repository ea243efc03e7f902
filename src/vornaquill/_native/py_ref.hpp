// Owned reference to a Python object: the one way this code base holds a strong reference.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vq {

class PyRef {
public:
    PyRef() noexcept = default;
    // Take over a new reference (the usual result of a C API call); NULL stays empty.
    static PyRef steal(PyObject *o) noexcept { return PyRef(o); }
    // Add a reference to a borrowed object.
    static PyRef borrow(PyObject *o) noexcept {
        Py_XINCREF(o);
        return PyRef(o);
    }
    PyRef(PyRef &&other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    PyRef &operator=(PyRef &&other) noexcept {
        PyObject *old = p_;
        p_ = other.p_;
        other.p_ = nullptr;
        Py_XDECREF(old);
        return *this;
    }
    PyRef(const PyRef &) = delete;
    PyRef &operator=(const PyRef &) = delete;
    ~PyRef() { Py_XDECREF(p_); }

    PyObject *get() const noexcept { return p_; }
    // Hand the reference to the caller (for example as a function result).
    PyObject *release() noexcept {
        PyObject *o = p_;
        p_ = nullptr;
        return o;
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit PyRef(PyObject *o) noexcept : p_(o) {}
    PyObject *p_ = nullptr;
};

}  // namespace vq
