// Messages of the engine's failures, spelled exactly as callers match them,
// and the fixed locations that failure reports name.
#pragma once

#include <string>

#include "runtime/failure.hpp"

namespace kiv::messages {

// An unwrap of an absent value: a NaN met by a maximum, or a maximum of nothing.
inline constexpr const char* kUnwrapNone = "called `Option::unwrap()` on a `None` value";
// A kept detection that `bounding_boxes` does not have.
inline constexpr const char* kIndexBelowDim = "assertion failed: index < dim";
// A detection index beyond `scales` or `uncertainty_scores`, or boxes without four columns.
inline constexpr const char* kIndexOutOfBounds = "ndarray: index out of bounds";
// N * N does not fit in a signed machine word.
inline constexpr const char* kShapeTooLarge =
    "ndarray: Shape too large, product of non-zero axis lengths overflows isize";
// 8 * N * N bytes exceed the largest signed machine word.
inline constexpr const char* kCapacityOverflow = "capacity overflow";

// "ndarray: index 4 is out of bounds in array of len 4"
inline std::string index_out_of_bounds(std::size_t index, std::size_t length) {
    return "ndarray: index " + std::to_string(index) + " is out of bounds in array of len " +
           std::to_string(length);
}

// The two-line report of a failed equality assertion.
inline std::string left_equals_right(std::size_t left, std::size_t right) {
    return "assertion `left == right` failed\n  left: " + std::to_string(left) +
           "\n right: " + std::to_string(right);
}

// Where the report on standard error places each check. Callers match these
// positions, so they stay fixed whatever the layout of the sources.
inline FailureSite row_max_nan_site() { return FailureSite{"src\\lib", 32, 53}; }
inline FailureSite row_max_empty_site() { return FailureSite{"src\\lib", 33, 22}; }
inline FailureSite object_max_nan_site() { return FailureSite{"src\\lib", 96, 45}; }
inline FailureSite object_max_empty_site() { return FailureSite{"src\\lib", 97, 14}; }
inline FailureSite length_check_site() { return FailureSite{"src\\lib", 129, 9}; }
inline FailureSite consistency_check_site() { return FailureSite{"src\\lib", 150, 9}; }

}  // namespace kiv::messages
