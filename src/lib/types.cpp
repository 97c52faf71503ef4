#include "lib/types.hpp"

#include <limits>
#include <optional>

#include "lib/arguments.hpp"
#include "lib/call_scope.hpp"
#include "lib/errors.hpp"
#include "lib/kiv_object.hpp"
#include "lib/messages.hpp"
#include "runtime/failure.hpp"

namespace kiv {
namespace {

// Both classes may be subclassed from Python; neither has a __dict__, weak
// references or cycle collection: the record holds no Python objects.
constexpr unsigned long kTypeFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;

KeptRef<PyTypeObject> base_type;  // KivRs
KeptRef<PyTypeObject> main_type;  // KIV

constexpr const char* kNewParameters[] = {"iou_threshold", "score_threshold"};
constexpr ArgumentDescription kNewArguments{"KIV", "__new__", kNewParameters, 2};

// Rounding a double to the nearest float (ties to even, out-of-range
// magnitudes to infinity, NaN kept) is what the conversion does on IEEE 754
// types; no range check follows.
static_assert(std::numeric_limits<float>::is_iec559 && std::numeric_limits<double>::is_iec559);

std::optional<float> to_threshold(PyObject* object, const char* parameter) {
    double value = 0.0;
    if (PyFloat_CheckExact(object)) {
        value = PyFloat_AS_DOUBLE(object);
    } else {
        // Anything the interpreter turns into a float is accepted; -1.0 is
        // only an error when one is pending.
        value = PyFloat_AsDouble(object);
        if (value == -1.0 && PyErr_Occurred()) {
            wrap_argument_error(parameter);
            return std::nullopt;
        }
    }
    return static_cast<float>(value);
}

PyObject* kiv_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    return call_scope<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* slots[2] = {};
        if (!extract_arguments(kNewArguments, args, kwargs, slots)) {
            return nullptr;
        }
        const std::optional<float> iou_threshold = to_threshold(slots[0], kNewParameters[0]);
        if (!iou_threshold) {
            return nullptr;
        }
        const std::optional<float> score_threshold = to_threshold(slots[1], kNewParameters[1]);
        if (!score_threshold) {
            return nullptr;
        }
        // The subclass's own allocator, so Python subclasses get their layout.
        const allocfunc alloc =
            subtype->tp_alloc != nullptr ? subtype->tp_alloc : PyType_GenericAlloc;
        PyObject* object = alloc(subtype, 0);
        if (object == nullptr) {
            reraise_pending_error();
            return nullptr;
        }
        auto* record = reinterpret_cast<KivObject*>(object);
        record->iou_threshold = *iou_threshold;
        record->score_threshold = *score_threshold;
        record->borrow_count = 0;
        return object;
    });
}

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, messages::kNoConstructor);
    return nullptr;
}

void dealloc(PyObject* self) {
    // An instance of a heap type holds a reference to its type (a Python
    // subclass's included), given up once the memory is freed.
    PyTypeObject* type = Py_TYPE(self);
    PyRef type_reference = PyRef::steal(reinterpret_cast<PyObject*>(type));
    type->tp_free(self);
}

// Builds a class, or sets RuntimeError "An error occurred while initializing
// class <name>" caused by the interpreter's error.
PyRef build_type(const char* qualified_name, const char* class_name, PyType_Slot* slots) {
    PyType_Spec spec{qualified_name, static_cast<int>(sizeof(KivObject)), 0, kTypeFlags, slots};
    PyRef type = PyRef::steal(PyType_FromSpec(&spec));
    if (type) {
        return type;
    }
    PyRef cause = fetch_error();
    PyRef message =
        PyRef::steal(PyUnicode_FromFormat("%s%s", messages::kTypeInitFailed, class_name));
    if (!message) {
        return {};
    }
    PyRef error = PyRef::steal(PyObject_CallOneArg(PyExc_RuntimeError, message.get()));
    if (!error) {
        return {};
    }
    PyException_SetCause(error.get(), cause.release());
    PyErr_SetRaisedException(error.release());
    return {};
}

PyTypeObject* kivrs_type() {
    if (!base_type) {
        PyType_Slot slots[] = {
            {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
            {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
            {0, nullptr},
        };
        base_type.keep(build_type(messages::kBaseTypeName, "KivRs", slots));
    }
    return base_type.get();
}

}  // namespace

PyTypeObject* kiv_type() {
    if (!main_type) {
        PyTypeObject* base = kivrs_type();
        if (base == nullptr) {
            PyErr_Print();
            fail(std::string(messages::kTypeObjectFailed) + "KivRs");
        }
        PyType_Slot slots[] = {
            {Py_tp_base, base},
            {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
            {Py_tp_doc, const_cast<char*>(messages::kTypeDoc)},
            {Py_tp_new, reinterpret_cast<void*>(kiv_new)},
            {Py_tp_methods, kiv_methods},
            {0, nullptr},
        };
        main_type.keep(build_type(messages::kTypeName, "KIV", slots));
    }
    return main_type.get();
}

}  // namespace kiv
