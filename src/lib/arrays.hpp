// Accepting NumPy arrays, and reading their headers as engine views.
#pragma once

#include <cstdint>

#include "engine/array_view.hpp"
#include "lib/py_ref.hpp"

namespace kiv {

// The leading fields of NumPy's array object (PyArrayObject_fields), which
// NumPy 1.26 and 2.x lay out alike. Nothing past `descr` is read, since the
// two lines differ there, and the descriptor is only passed back to NumPy.
struct ArrayHeader {
    PyObject ob_base;  // PyObject_HEAD
    char* data;
    int nd;
    Py_intptr_t* dimensions;
    Py_intptr_t* strides;
    PyObject* base;
    PyObject* descr;
};

// The element types `run` accepts, as NumPy's type numbers.
enum class ElementType : int {
    kInt64 = 9,     // NPY_LONGLONG
    kFloat32 = 11,  // NPY_FLOAT
};

// Returns `object` as an array of `type` with `axes` axes, or null with a
// TypeError set. Fails (throws Failure) when NumPy's C API cannot be reached.
// Any strides, read-only and non-owning arrays and subclasses are accepted.
const ArrayHeader* extract_array(PyObject* object, ElementType type, int axes);

// Views of an accepted array; element sizes come from the accepted type.
template <typename T>
View1<T> view1(const ArrayHeader& array) {
    return View1<T>{array.data, static_cast<std::size_t>(array.dimensions[0]),
                    static_cast<std::ptrdiff_t>(array.strides[0])};
}

template <typename T>
View2<T> view2(const ArrayHeader& array) {
    return View2<T>{array.data, static_cast<std::size_t>(array.dimensions[0]),
                    static_cast<std::size_t>(array.dimensions[1]),
                    static_cast<std::ptrdiff_t>(array.strides[0]),
                    static_cast<std::ptrdiff_t>(array.strides[1])};
}

}  // namespace kiv
