#include "lib/errors.hpp"

#include <cstdio>
#include <cstdlib>
#include <new>

#include "lib/messages.hpp"
#include "runtime/failure.hpp"

namespace kiv {
namespace {

// pyo3_runtime.PanicException, created on first need and kept for the life of
// the process, so every internal failure is an instance of the same class.
KeptRef<> panic_type;

PyObject* panic_exception_type() {
    if (!panic_type) {
        PyRef type = PyRef::steal(PyErr_NewExceptionWithDoc(
            messages::kPanicTypeName, messages::kPanicTypeDoc, PyExc_BaseException, nullptr));
        if (!type) {
            fail_with_pending_error(messages::kPanicTypeFailed);
        }
        panic_type.keep(std::move(type));
    }
    return panic_type.get();
}

// UTF-8 of a str; text that cannot be encoded (lone surrogates) is replaced
// rather than lost, since these texts only ever end up in messages.
std::string utf8(PyObject* text) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(text, &size)) {
        return std::string(data, static_cast<std::size_t>(size));
    }
    PyErr_Clear();
    PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(text, "utf-8", "replace"));
    if (!bytes) {
        PyErr_Clear();
        return {};
    }
    return std::string(PyBytes_AS_STRING(bytes.get()),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

std::string repr_text(PyObject* object) {
    PyRef text = PyRef::steal(PyObject_Repr(object));
    if (!text) {
        PyErr_Clear();
        return "<unprintable object>";
    }
    return utf8(text.get());
}

// A PanicException that Python code raised travels on as an internal
// failure with the same message, so the caller sees one kind of exception.
[[noreturn]] void resume_panic(PyRef exception) {
    std::fputs(messages::kResumingPanic, stderr);
    std::fflush(stderr);
    PyRef text = PyRef::steal(PyObject_Str(exception.get()));
    std::string message = text ? utf8(text.get()) : std::string(messages::kUnwrappedPanic);
    PyErr_Clear();
    PyErr_SetRaisedException(exception.release());
    PyErr_PrintEx(0);
    fail(std::move(message));
}

}  // namespace

PyRef fetch_error() {
    PyRef exception = PyRef::steal(PyErr_GetRaisedException());
    if (!exception) {
        PyErr_SetString(PyExc_SystemError, messages::kNoErrorSet);
        return PyRef::steal(PyErr_GetRaisedException());
    }
    // Only a PanicException of ours can be resumed, and none exists before
    // the type does, so the check need not create it.
    if (panic_type &&
        PyObject_TypeCheck(exception.get(), reinterpret_cast<PyTypeObject*>(panic_type.get()))) {
        resume_panic(std::move(exception));
    }
    return exception;
}

void reraise_pending_error() { PyErr_SetRaisedException(fetch_error().release()); }

std::string describe_error(PyObject* exception) {
    std::string text = "PyErr { type: ";
    text += repr_text(reinterpret_cast<PyObject*>(Py_TYPE(exception)));
    text += ", value: ";
    text += repr_text(exception);
    text += ", traceback: ";
    PyRef traceback = PyRef::steal(PyException_GetTraceback(exception));
    if (traceback) {
        text += "Some(" + repr_text(traceback.get()) + ")";
    } else {
        text += "None";
    }
    text += " }";
    return text;
}

void fail_with_pending_error(std::string_view message, std::source_location at) {
    PyRef exception = fetch_error();
    std::string text(message);
    text += ": ";
    text += describe_error(exception.get());
    fail(std::move(text), at);
}

void fail_api_call(std::source_location at) {
    reraise_pending_error();
    PyErr_PrintEx(0);
    fail(messages::kApiCallFailed, at);
}

void set_conversion_error(PyObject* object, const char* target) {
    PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
    if (!name || !PyUnicode_Check(name.get())) {
        PyErr_Clear();
        name = PyRef::steal(PyUnicode_FromString(messages::kUnknownTypeName));
        if (!name) {
            return;
        }
    }
    PyErr_Format(PyExc_TypeError, messages::kCannotConvert, name.get(), target);
}

void wrap_argument_error(const char* parameter) {
    PyRef exception = fetch_error();
    if (!Py_IS_TYPE(exception.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
        PyErr_SetRaisedException(exception.release());
        return;
    }
    PyRef text =
        PyRef::steal(PyUnicode_FromFormat(messages::kArgumentPrefix, parameter, exception.get()));
    if (!text) {
        return;
    }
    PyRef wrapped = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, text.get()));
    if (!wrapped) {
        return;
    }
    // The new error replaces the old one rather than chaining to it, but
    // keeps whatever the old one was caused by.
    PyException_SetCause(wrapped.get(), PyException_GetCause(exception.get()));
    PyErr_SetRaisedException(wrapped.release());
}

void raise_panic(std::string_view message) noexcept {
    try {
        PyObject* type = panic_exception_type();
        PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(
            message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
        if (text) {
            PyErr_SetObject(type, text.get());
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        // Without the exception type there is no way to tell the caller.
        std::fputs(messages::kUncaughtAtBoundary, stderr);
        std::fflush(stderr);
        std::abort();
    }
}

}  // namespace kiv
