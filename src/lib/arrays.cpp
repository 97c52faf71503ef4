#include "lib/arrays.hpp"

#include "lib/errors.hpp"
#include "lib/messages.hpp"

namespace kiv {
namespace {

// Positions in NumPy's C API table; NumPy keeps them fixed across versions.
constexpr int kArrayTypeEntry = 2;
constexpr int kDescrFromTypeEntry = 45;
constexpr int kEquivTypesEntry = 182;

using DescrFromType = PyObject* (*)(int);
using EquivTypes = unsigned char (*)(PyObject*, PyObject*);

// The descriptor an element type requires, and the first other descriptor
// NumPy found equivalent to it. On Linux every int64 array carries NumPy's
// "long" descriptor rather than "long long", so remembering it spares each
// call a trip through PyArray_EquivTypes. Descriptors are immutable, and the
// one remembered is kept referenced, so its address cannot be reused.
struct RequiredDescriptor {
    KeptRef<> required;
    KeptRef<> equivalent;
};

// What the module uses of NumPy, fetched by the first array examined and
// kept for the life of the process. The capsule stays referenced, since the
// table lives in its module's memory; the required descriptors are NumPy's
// own singletons, so holding them saves a call per argument.
struct NumpyApi {
    KeptRef<> capsule;
    PyTypeObject* array_type = nullptr;
    EquivTypes equiv_types = nullptr;
    RequiredDescriptor float32;
    RequiredDescriptor int64;

    RequiredDescriptor& descriptor(ElementType type) {
        return type == ElementType::kFloat32 ? float32 : int64;
    }
};

NumpyApi numpy;

// NumPy 2 moved numpy.core to numpy._core and warns when the old name is
// imported; 1.26 provides both names. Only a NumPy that predates numpy._core
// needs the old one, and without any NumPy the error names 'numpy' itself.
PyRef import_multiarray() {
    PyRef module = PyRef::steal(PyImport_ImportModule("numpy._core.multiarray"));
    if (module || !PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
        return module;
    }
    PyRef error = PyRef::steal(PyErr_GetRaisedException());
    PyRef missing = PyRef::steal(PyObject_GetAttrString(error.get(), "name"));
    PyErr_Clear();
    if (!missing || !PyUnicode_Check(missing.get()) ||
        PyUnicode_CompareWithASCIIString(missing.get(), "numpy._core") != 0) {
        PyErr_SetRaisedException(error.release());
        return {};
    }
    return PyRef::steal(PyImport_ImportModule("numpy.core.multiarray"));
}

void load_numpy() {
    PyRef module = import_multiarray();
    if (!module) {
        fail_with_pending_error(messages::kNumpyUnreachable);
    }
    PyRef capsule = PyRef::steal(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
    if (!capsule) {
        fail_with_pending_error(messages::kNumpyUnreachable);
    }
    if (!Py_IS_TYPE(capsule.get(), &PyCapsule_Type)) {
        set_conversion_error(capsule.get(), messages::kTargetCapsule);
        fail_with_pending_error(messages::kNumpyUnreachable);
    }
    auto** table =
        static_cast<void**>(PyCapsule_GetPointer(capsule.get(), PyCapsule_GetName(capsule.get())));
    if (table == nullptr) {
        fail_with_pending_error(messages::kNumpyUnreachable);
    }
    const auto descr_from_type = reinterpret_cast<DescrFromType>(table[kDescrFromTypeEntry]);
    PyRef float32 = PyRef::steal(descr_from_type(static_cast<int>(ElementType::kFloat32)));
    PyRef int64 = PyRef::steal(descr_from_type(static_cast<int>(ElementType::kInt64)));
    if (!float32 || !int64) {
        fail_with_pending_error(messages::kNumpyUnreachable);
    }
    // Stored only once everything is in hand: a failed attempt leaves the
    // table empty, and the next call tries again.
    numpy.array_type = static_cast<PyTypeObject*>(table[kArrayTypeEntry]);
    numpy.equiv_types = reinterpret_cast<EquivTypes>(table[kEquivTypesEntry]);
    numpy.float32.required.keep(std::move(float32));
    numpy.int64.required.keep(std::move(int64));
    numpy.capsule.keep(std::move(capsule));
}

}  // namespace

const ArrayHeader* extract_array(PyObject* object, ElementType type, int axes) {
    if (!numpy.capsule) {
        load_numpy();
    }
    if (!PyObject_TypeCheck(object, numpy.array_type)) {
        set_conversion_error(object, messages::kTargetArray);
        return nullptr;
    }
    const auto* array = reinterpret_cast<const ArrayHeader*>(object);
    if (array->nd != axes) {
        PyErr_Format(PyExc_TypeError, messages::kDimensionalityMismatch, array->nd, axes);
        return nullptr;
    }
    RequiredDescriptor& expected = numpy.descriptor(type);
    PyObject* descr = array->descr;
    if (descr == expected.required.get() || descr == expected.equivalent.get()) {
        return array;
    }
    if (!numpy.equiv_types(descr, expected.required.get())) {
        PyErr_Format(PyExc_TypeError, messages::kTypeMismatch, descr, expected.required.get());
        return nullptr;
    }
    if (!expected.equivalent) {
        expected.equivalent.keep(PyRef::borrow(descr));
    }
    return array;
}

}  // namespace kiv
