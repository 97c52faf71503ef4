// The module entry: kiv_rs with its one class, KIV.
#include <atomic>
#include <cstdint>

#include "lib/call_scope.hpp"
#include "lib/errors.hpp"
#include "lib/messages.hpp"
#include "lib/types.hpp"

namespace kiv {
namespace {

// Single-phase initialisation; m_size 0 makes the interpreter call the entry
// again when the module is imported anew, and the entry hands back the same
// module object.
PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    messages::kModuleName,
    messages::kModuleDoc,
    0,        // m_size
    nullptr,  // m_methods
    nullptr,  // m_slots
    nullptr,  // m_traverse
    nullptr,  // m_clear
    nullptr,  // m_free
};

constexpr int kModuleApiVersion = 1013;

// The interpreter the module was first built in. The type objects and the
// module are process-wide and bound to that interpreter, so any other one is
// refused.
std::atomic<std::int64_t> recorded_interpreter{-1};

KeptRef<> module_object;

// __all__ of the module, created when the module has none.
PyRef all_list(PyObject* module) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return {};
        }
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
            return {};
        }
    }
    if (!PyList_Check(all.get())) {
        set_conversion_error(all.get(), messages::kTargetList);
        return {};
    }
    return all;
}

bool add_kiv(PyObject* module) {
    PyTypeObject* type = kiv_type();
    if (type == nullptr) {
        return false;
    }
    PyRef all = all_list(module);
    if (!all) {
        return false;
    }
    PyRef name = PyRef::steal(PyUnicode_FromString("KIV"));
    if (!name) {
        return false;
    }
    if (PyList_Append(all.get(), name.get()) < 0) {
        fail_with_pending_error(messages::kAllAppendFailed);
    }
    return PyObject_SetAttr(module, name.get(), reinterpret_cast<PyObject*>(type)) == 0;
}

PyObject* initialise_module() {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) {
        reraise_pending_error();
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!recorded_interpreter.compare_exchange_strong(expected, interpreter,
                                                      std::memory_order_seq_cst) &&
        expected != interpreter) {
        PyErr_SetString(PyExc_ImportError, messages::kSubInterpreters);
        return nullptr;
    }
    if (module_object) {
        return Py_NewRef(module_object.get());
    }
    PyRef module = PyRef::steal(PyModule_Create2(&module_definition, kModuleApiVersion));
    if (!module) {
        reraise_pending_error();
        return nullptr;
    }
    if (!add_kiv(module.get())) {
        return nullptr;
    }
    module_object.keep(PyRef::borrow(module.get()));
    return module.release();
}

}  // namespace
}  // namespace kiv

PyMODINIT_FUNC PyInit_kiv_rs() {
    return kiv::call_scope<PyObject*>(nullptr, [] { return kiv::initialise_module(); });
}
