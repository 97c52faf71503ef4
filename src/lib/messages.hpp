// Every text a caller of the module can see, spelled as callers match it.
#pragma once

namespace kiv::messages {

// Module and classes.
inline constexpr char kModuleName[] = "kiv_rs";
inline constexpr char kModuleDoc[] = "";
inline constexpr char kBaseTypeName[] = "builtins.KivRs";
inline constexpr char kTypeName[] = "builtins.KIV";
inline constexpr char kTypeDoc[] = "KIV(iou_threshold, score_threshold)\n--\n\n";
inline constexpr char kRunDoc[] =
    "run($self, bounding_boxes, class_probabilities, uncertainty_scores, scales)\n--\n\n";
inline constexpr char kNoConstructor[] = "No constructor defined";
inline constexpr char kSubInterpreters[] =
    "kiv_rs does not yet support sub-interpreters; this is tracked in the project's "
    "issue \"Support for sub-interpreters\"";
inline constexpr char kTypeInitFailed[] = "An error occurred while initializing class ";
inline constexpr char kTypeObjectFailed[] = "failed to create type object for ";
inline constexpr char kAllAppendFailed[] = "could not append __name__ to __all__";

// Argument matching; every message starts with "KIV.run()" or "KIV.__new__()".
inline constexpr char kTooManyPositional[] = "%s takes %zd positional arguments but %zd were given";
inline constexpr char kMultipleValues[] = "%s got multiple values for argument '%s'";
inline constexpr char kUnexpectedKeyword[] = "%s got an unexpected keyword argument '%U'";
inline constexpr char kMissingOne[] = "%s missing 1 required positional argument: %U";
inline constexpr char kMissingMany[] = "%s missing %zd required positional arguments: %U";
inline constexpr char kArgumentPrefix[] = "argument '%s': %S";

// Conversion errors and their targets.
inline constexpr char kCannotConvert[] = "'%U' object cannot be converted to '%s'";
inline constexpr char kUnknownTypeName[] = "<failed to extract type name>";
inline constexpr char kDimensionalityMismatch[] = "dimensionality mismatch:\n from=%d, to=%d";
inline constexpr char kTypeMismatch[] = "type mismatch:\n from=%S, to=%S";
inline constexpr char kTargetArray[] = "PyArray<T, D>";
inline constexpr char kTargetKiv[] = "KIV";
inline constexpr char kTargetString[] = "PyString";
inline constexpr char kTargetCapsule[] = "PyCapsule";
inline constexpr char kTargetList[] = "PyList";

// Errors without a Python exception behind them.
inline constexpr char kNoErrorSet[] = "attempted to fetch exception but none was set";

// Internal failures, raised as PanicException.
inline constexpr char kPanicTypeName[] = "pyo3_runtime.PanicException";
inline constexpr char kPanicTypeDoc[] =
    "\n"
    "The exception raised when the module's own code, called from Python, fails.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";
inline constexpr char kPanicTypeFailed[] = "Failed to initialize new exception type.";
inline constexpr char kNumpyUnreachable[] = "Failed to access NumPy array API capsule";
inline constexpr char kApiCallFailed[] = "Python API call failed";
inline constexpr char kUnwrappedPanic[] = "Unwrapped panic from Python code";
inline constexpr char kResumingPanic[] =
    "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
    "Python stack trace below:\n";
inline constexpr char kUncaughtAtBoundary[] = "uncaught panic at ffi boundary\n";

}  // namespace kiv::messages
