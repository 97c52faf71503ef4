// The one owner of PyObject references in the module.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace kiv {

// Owns one strong reference (or none). Every Py_DECREF of the module happens
// in this destructor, so a reference cannot outlive the scope that made it.
class PyRef {
public:
    PyRef() noexcept = default;
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_(other.release()) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyRef(std::move(other)).swap(*this);
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    // Takes over a new reference, as the C API hands them out (may be null).
    static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    // Takes a reference of its own to a borrowed object (may be null).
    static PyRef borrow(PyObject* object) noexcept { return PyRef(Py_XNewRef(object)); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Hands the reference to the caller, e.g. as an entry's result.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    void swap(PyRef& other) noexcept { std::swap(object_, other.object_); }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}

    PyObject* object_ = nullptr;
};

// A process-wide object: built once, under the interpreter lock, and never
// released. A PyRef in static storage would be released by the C++ runtime
// at exit, after the interpreter is gone; this cell deliberately never is.
template <typename T = PyObject>
class KeptRef {
public:
    T* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    void keep(PyRef reference) noexcept { object_ = reinterpret_cast<T*>(reference.release()); }

private:
    T* object_ = nullptr;
};

}  // namespace kiv
