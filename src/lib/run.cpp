// KIV.run: four arrays in, (score, None) out.
#include "engine/engine.hpp"
#include "lib/arguments.hpp"
#include "lib/arrays.hpp"
#include "lib/call_scope.hpp"
#include "lib/errors.hpp"
#include "lib/kiv_object.hpp"
#include "lib/messages.hpp"
#include "lib/types.hpp"
#include "runtime/failure.hpp"

namespace kiv {
namespace {

constexpr const char* kRunParameters[] = {"bounding_boxes", "class_probabilities",
                                          "uncertainty_scores", "scales"};
constexpr ArgumentDescription kRunArguments{"KIV", "run", kRunParameters, 4};

// The accepted form of each argument, in parameter order.
struct AcceptedForm {
    ElementType type;
    int axes;
};
constexpr AcceptedForm kRunArrays[] = {
    {ElementType::kFloat32, 2},
    {ElementType::kFloat32, 2},
    {ElementType::kFloat32, 1},
    {ElementType::kInt64, 1},
};

// The result the caller sees: the 32-bit score, widened exactly, and None.
PyObject* result_tuple(float score) {
    PyRef value = PyRef::steal(PyFloat_FromDouble(static_cast<double>(score)));
    if (!value) {
        fail_api_call();
    }
    PyRef tuple = PyRef::steal(PyTuple_New(2));
    if (!tuple) {
        fail_api_call();
    }
    PyTuple_SET_ITEM(tuple.get(), 0, value.release());
    PyTuple_SET_ITEM(tuple.get(), 1, Py_NewRef(Py_None));
    return tuple.release();
}

PyObject* run(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return call_scope<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* slots[4] = {};
        if (!extract_arguments(kRunArguments, args, PyVectorcall_NARGS(nargsf), kwnames, slots)) {
            return nullptr;
        }
        PyTypeObject* type = kiv_type();
        if (type == nullptr) {
            PyErr_Print();
            fail(std::string(messages::kTypeObjectFailed) + "KIV");
        }
        if (!PyObject_TypeCheck(self, type)) {
            set_conversion_error(self, messages::kTargetKiv);
            return nullptr;
        }
        auto& record = *reinterpret_cast<KivObject*>(self);
        const SharedHold hold(record);

        const ArrayHeader* arrays[4] = {};
        for (std::size_t i = 0; i < 4; ++i) {
            arrays[i] = extract_array(slots[i], kRunArrays[i].type, kRunArrays[i].axes);
            if (arrays[i] == nullptr) {
                wrap_argument_error(kRunParameters[i]);
                return nullptr;
            }
        }
        const float score =
            score_image(record.thresholds(), view2<float>(*arrays[0]), view2<float>(*arrays[1]),
                        view1<float>(*arrays[2]), view1<std::int64_t>(*arrays[3]));
        return result_tuple(score);
    });
}

}  // namespace

PyMethodDef kiv_methods[] = {
    {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run)),
     METH_FASTCALL | METH_KEYWORDS, messages::kRunDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kiv
