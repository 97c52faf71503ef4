#include "engine/filter_by_score.hpp"

#include <algorithm>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/messages.hpp"
#include "runtime/failure.hpp"

namespace kiv {

namespace {

// The running maximum over a packed row, four lanes at a time. Taking the
// maximum involves no rounding, so only two things could depend on the order
// of the comparisons, and both are settled separately: the sequential rule
// fails as soon as any element is NaN (each one meets a comparison), and of
// equal values it keeps the later one, which shows only for zeros of
// opposite sign, so a zero maximum takes the sign of the row's last zero.
float packed_row_max(const float* row, std::size_t length) {
    std::size_t col = 0;
    bool unordered = false;
    float largest = row[0];
#if defined(__SSE2__)
    if (length >= 8) {
        __m128 most = _mm_loadu_ps(row);
        __m128 nan = _mm_cmpunord_ps(most, most);
        for (col = 4; col + 4 <= length; col += 4) {
            const __m128 x = _mm_loadu_ps(row + col);
            most = _mm_max_ps(most, x);
            nan = _mm_or_ps(nan, _mm_cmpunord_ps(x, x));
        }
        unordered = _mm_movemask_ps(nan) != 0;
        alignas(16) float lanes[4];
        _mm_store_ps(lanes, most);
        largest = lanes[0];
        for (const float lane : lanes) largest = lane > largest ? lane : largest;
    }
#endif
    for (; col < length; ++col) {
        const float x = row[col];
        unordered |= x != x;
        largest = x > largest ? x : largest;
    }
    if (unordered) fail(messages::kUnwrapNone, messages::row_max_nan_site());
    if (largest == 0.0f) {
        std::size_t last = length - 1;
        while (row[last] != 0.0f) --last;
        largest = row[last];
    }
    return largest;
}

}  // namespace

float row_max(const View2<float>& class_probabilities, std::size_t row) {
    if (class_probabilities.cols == 0) fail(messages::kUnwrapNone, messages::row_max_empty_site());
    const std::size_t length = class_probabilities.cols;
    // A single element is never compared, so even a NaN stands.
    if (length == 1) return class_probabilities(row, 0);
    if (class_probabilities.col_stride == static_cast<std::ptrdiff_t>(sizeof(float)) &&
        reinterpret_cast<std::uintptr_t>(class_probabilities.data) % alignof(float) == 0 &&
        class_probabilities.row_stride % static_cast<std::ptrdiff_t>(alignof(float)) == 0) {
        const char* start = class_probabilities.data +
                            static_cast<std::ptrdiff_t>(row) * class_probabilities.row_stride;
        return packed_row_max(reinterpret_cast<const float*>(start), length);
    }
    float largest = class_probabilities(row, 0);
    for (std::size_t col = 1; col < length; ++col) {
        const float x = class_probabilities(row, col);
        // `>=` takes the later of equal values, so (0.0, -0.0) yields -0.0.
        if (x >= largest) {
            largest = x;
        } else if (!(largest >= x)) {
            fail(messages::kUnwrapNone, messages::row_max_nan_site());
        }
    }
    return largest;
}

View2<float> select_rows(const View2<float>& boxes, const std::vector<std::size_t>& kept,
                         std::vector<float>& out) {
    const std::size_t cols = std::min<std::size_t>(boxes.cols, 4);
    out.clear();
    out.reserve(kept.size() * cols);
    for (const std::size_t index : kept) {
        if (index >= boxes.rows) fail(messages::kIndexBelowDim);
        for (std::size_t col = 0; col < cols; ++col) out.push_back(boxes(index, col));
    }
    // Columns beyond the fourth are never read, so the compact copy drops them;
    // a box array narrower than four columns keeps its width, which the
    // grouping checks.
    return View2<float>{reinterpret_cast<const char*>(out.data()), kept.size(), cols,
                        static_cast<std::ptrdiff_t>(cols * sizeof(float)),
                        static_cast<std::ptrdiff_t>(sizeof(float))};
}

template <typename T>
View1<T> select_rows(const View1<T>& values, const std::vector<std::size_t>& kept,
                     std::vector<T>& out) {
    // `kept` ascends, so its last entry is the largest.
    if (!kept.empty() && kept.back() >= values.length) {
        fail(messages::index_out_of_bounds(kept.back(), values.length));
    }
    out.clear();
    out.reserve(kept.size());
    for (const std::size_t index : kept) out.push_back(values[index]);
    return View1<T>{reinterpret_cast<const char*>(out.data()), out.size(),
                    static_cast<std::ptrdiff_t>(sizeof(T))};
}

template View1<float> select_rows(const View1<float>&, const std::vector<std::size_t>&,
                                  std::vector<float>&);
template View1<std::int64_t> select_rows(const View1<std::int64_t>&,
                                         const std::vector<std::size_t>&,
                                         std::vector<std::int64_t>&);

EffectiveArrays filter_by_score(float score_threshold, const View2<float>& bounding_boxes,
                                const View2<float>& class_probabilities,
                                const View1<float>& uncertainty_scores,
                                const View1<std::int64_t>& scales, FilteredRows& rows) {
    // Zero of either sign switches the filter off; NaN does not.
    if (score_threshold == 0.0f) return EffectiveArrays{bounding_boxes, uncertainty_scores, scales};

    // Every row's maximum is taken, kept or not, so a NaN anywhere fails the
    // call; a row fails before any later row is looked at.
    rows.kept.clear();
    for (std::size_t row = 0; row < class_probabilities.rows; ++row) {
        const float confidence = row_max(class_probabilities, row);
        if (confidence >= score_threshold) rows.kept.push_back(row);
    }
    EffectiveArrays effective;
    effective.boxes = select_rows(bounding_boxes, rows.kept, rows.boxes);
    effective.uncertainty = select_rows(uncertainty_scores, rows.kept, rows.uncertainty);
    effective.scales = select_rows(scales, rows.kept, rows.scales);
    return effective;
}

}  // namespace kiv
