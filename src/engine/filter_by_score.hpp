// The score filter: which detections take part in scoring at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/array_view.hpp"

namespace kiv {

// The arrays that every later stage works on. When the filter runs they view
// the compact rows it kept; when it does not they are the caller's arrays.
struct EffectiveArrays {
    View2<float> boxes;
    View1<float> uncertainty;
    View1<std::int64_t> scales;
};

// Storage of the rows the filter keeps; EffectiveArrays points into it, so it
// must outlive them. Reused from call to call to spare allocations.
struct FilteredRows {
    std::vector<float> boxes;  // kept rows, at most the four corner columns each
    std::vector<float> uncertainty;
    std::vector<std::int64_t> scales;
};

// Largest element of one row, the later of equal ones; fails on an empty row
// and on any NaN in a row of two or more elements.
float row_max(const View2<float>& class_probabilities, std::size_t row);

// Keeps the detections whose confidence (row_max of their probabilities) is at
// least `score_threshold`; a threshold of +0.0 or -0.0 keeps everything
// without reading `class_probabilities`.
EffectiveArrays filter_by_score(float score_threshold, const View2<float>& bounding_boxes,
                                const View2<float>& class_probabilities,
                                const View1<float>& uncertainty_scores,
                                const View1<std::int64_t>& scales, FilteredRows& rows);

}  // namespace kiv
