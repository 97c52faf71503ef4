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

// What the module uses of NumPy, fetched by the first array examined and
// kept for the life of the process. The capsule stays referenced, since the
// table lives in its module's memory; the two descriptors are NumPy's own
// singletons, so holding them saves a call per argument.
struct NumpyApi {
    KeptRef<> capsule;
    PyTypeObject* array_type = nullptr;
    EquivTypes equiv_types = nullptr;
    KeptRef<> float32;
    KeptRef<> int64;

    PyObject* descriptor(ElementType type) const {
        return type == ElementType::kFloat32 ? float32.get() : int64.get();
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
    auto** table = static_cast<void**>(
        PyCapsule_GetPointer(capsule.get(), PyCapsule_GetName(capsule.get())));
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
    numpy.float32.keep(std::move(float32));
    numpy.int64.keep(std::move(int64));
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
    PyObject* required = numpy.descriptor(type);
    if (array->descr != required && !numpy.equiv_types(array->descr, required)) {
        PyErr_Format(PyExc_TypeError, messages::kTypeMismatch, array->descr, required);
        return nullptr;
    }
    return array;
}

}  // namespace kiv
