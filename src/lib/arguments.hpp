// Matching a call's arguments to a callable's parameters.
#pragma once

#include <span>

#include "lib/py_ref.hpp"

namespace kiv {

// The parameters of one callable. All are positional-or-keyword; none is
// keyword-only, and extra positional or keyword arguments are refused.
struct ArgumentDescription {
    const char* class_name;
    const char* method_name;
    std::span<const char* const> parameters;  // in positional order
    Py_ssize_t required;                      // the first `required` must be given
};

// Fills `slots` (one per parameter, all null on entry) with borrowed
// references from a fast call: `nargs` positional arguments, then one value
// per name in `kwnames` (or none when it is null). Returns false with a
// TypeError set when the arguments do not fit.
bool extract_arguments(const ArgumentDescription& description, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots);

// The same rules for a call made with an argument tuple and a keyword
// dictionary (or null), as type slots receive them.
bool extract_arguments(const ArgumentDescription& description, PyObject* args, PyObject* kwargs,
                       std::span<PyObject*> slots);

}  // namespace kiv
