// The two classes of the module.
#pragma once

#include "lib/py_ref.hpp"

namespace kiv {

// KIV's type object, built (with its base KivRs) on first request and kept.
// Null with a RuntimeError set when it cannot be built; a later request
// tries again.
PyTypeObject* kiv_type();

// KIV's method table, defined next to `run`.
extern PyMethodDef kiv_methods[];

}  // namespace kiv
