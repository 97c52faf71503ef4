#include "lib/arguments.hpp"

#include <cstring>
#include <string>

#include "lib/errors.hpp"
#include "lib/messages.hpp"

namespace kiv {
namespace {

// "KIV.run()", as every argument error names the callable.
std::string full_name(const ArgumentDescription& description) {
    return std::string(description.class_name) + "." + description.method_name + "()";
}

bool take_positional(const ArgumentDescription& description, PyObject* const* args,
                     Py_ssize_t nargs, std::span<PyObject*> slots) {
    const auto count = static_cast<Py_ssize_t>(description.parameters.size());
    if (nargs > count) {
        PyErr_Format(PyExc_TypeError, messages::kTooManyPositional, full_name(description).c_str(),
                     count, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        slots[static_cast<std::size_t>(i)] = args[i];
    }
    return true;
}

// The slot a keyword fills, by byte comparison of its UTF-8 name; -1 when
// it names no parameter. A name without a UTF-8 form matches nothing.
Py_ssize_t parameter_index(const ArgumentDescription& description, PyObject* name) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    if (text == nullptr) {
        PyErr_Clear();
        return -1;
    }
    for (std::size_t i = 0; i < description.parameters.size(); ++i) {
        const char* parameter = description.parameters[i];
        if (std::strlen(parameter) == static_cast<std::size_t>(size) &&
            std::memcmp(parameter, text, static_cast<std::size_t>(size)) == 0) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    return -1;
}

bool take_keyword(const ArgumentDescription& description, PyObject* name, PyObject* value,
                  std::span<PyObject*> slots) {
    // Python syntax only ever passes str names; the C API can pass anything.
    if (!PyUnicode_Check(name)) {
        set_conversion_error(name, messages::kTargetString);
        return false;
    }
    const Py_ssize_t index = parameter_index(description, name);
    if (index < 0) {
        PyRef text = PyRef::steal(PyObject_Str(name));
        if (text) {
            PyErr_Format(PyExc_TypeError, messages::kUnexpectedKeyword,
                         full_name(description).c_str(), text.get());
        }
        return false;
    }
    PyObject*& slot = slots[static_cast<std::size_t>(index)];
    if (slot != nullptr) {
        PyErr_Format(PyExc_TypeError, messages::kMultipleValues, full_name(description).c_str(),
                     description.parameters[static_cast<std::size_t>(index)]);
        return false;
    }
    slot = value;
    return true;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the way Python lists names.
std::string quoted_list(const ArgumentDescription& description, std::span<PyObject*> slots,
                        Py_ssize_t& count) {
    std::string list;
    count = 0;
    for (Py_ssize_t i = 0; i < description.required; ++i) {
        count += slots[static_cast<std::size_t>(i)] == nullptr;
    }
    Py_ssize_t written = 0;
    for (Py_ssize_t i = 0; i < description.required; ++i) {
        if (slots[static_cast<std::size_t>(i)] != nullptr) {
            continue;
        }
        if (written > 0) {
            list += count > 2 ? ", " : " ";
            if (written == count - 1) {
                list += "and ";
            }
        }
        list += "'";
        list += description.parameters[static_cast<std::size_t>(i)];
        list += "'";
        ++written;
    }
    return list;
}

bool check_required(const ArgumentDescription& description, Py_ssize_t nargs,
                    std::span<PyObject*> slots) {
    if (nargs >= description.required) {
        return true;
    }
    for (Py_ssize_t i = nargs; i < description.required; ++i) {
        if (slots[static_cast<std::size_t>(i)] == nullptr) {
            Py_ssize_t count = 0;
            const std::string list = quoted_list(description, slots, count);
            PyRef text = PyRef::steal(
                PyUnicode_FromStringAndSize(list.data(), static_cast<Py_ssize_t>(list.size())));
            if (!text) {
                return false;
            }
            if (count == 1) {
                PyErr_Format(PyExc_TypeError, messages::kMissingOne, full_name(description).c_str(),
                             text.get());
            } else {
                PyErr_Format(PyExc_TypeError, messages::kMissingMany,
                             full_name(description).c_str(), count, text.get());
            }
            return false;
        }
    }
    return true;
}

}  // namespace

bool extract_arguments(const ArgumentDescription& description, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots) {
    if (!take_positional(description, args, nargs, slots)) {
        return false;
    }
    if (kwnames != nullptr) {
        const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (!take_keyword(description, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], slots)) {
                return false;
            }
        }
    }
    return check_required(description, nargs, slots);
}

bool extract_arguments(const ArgumentDescription& description, PyObject* args, PyObject* kwargs,
                       std::span<PyObject*> slots) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (!take_positional(description, PySequence_Fast_ITEMS(args), nargs, slots)) {
        return false;
    }
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &name, &value)) {
            if (!take_keyword(description, name, value, slots)) {
                return false;
            }
        }
    }
    return check_required(description, nargs, slots);
}

}  // namespace kiv
