#include "engine/filter_by_score.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/messages.hpp"
#include "runtime/failure.hpp"

namespace kiv {

namespace {

// Out of line, so that the loops over rows carry none of the set-up of the
// message.
[[noreturn, gnu::cold, gnu::noinline]] void fail_on_nan() {
    fail(messages::kUnwrapNone, messages::row_max_nan_site());
}

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
        // Running maxima over four-lane columns, sixteen columns a step,
        // then eight and four; one unordered comparison of a pair catches a
        // NaN in either.
        __m128 most = _mm_loadu_ps(row);
        __m128 more = _mm_loadu_ps(row + 4);
        __m128 nan = _mm_cmpunord_ps(most, more);
        for (col = 8; col + 16 <= length; col += 16) {
            const __m128 a = _mm_loadu_ps(row + col);
            const __m128 b = _mm_loadu_ps(row + col + 4);
            const __m128 c = _mm_loadu_ps(row + col + 8);
            const __m128 d = _mm_loadu_ps(row + col + 12);
            most = _mm_max_ps(most, _mm_max_ps(a, c));
            more = _mm_max_ps(more, _mm_max_ps(b, d));
            nan = _mm_or_ps(nan, _mm_or_ps(_mm_cmpunord_ps(a, b), _mm_cmpunord_ps(c, d)));
        }
        if (col + 8 <= length) {
            const __m128 a = _mm_loadu_ps(row + col);
            const __m128 b = _mm_loadu_ps(row + col + 4);
            most = _mm_max_ps(most, a);
            more = _mm_max_ps(more, b);
            nan = _mm_or_ps(nan, _mm_cmpunord_ps(a, b));
            col += 8;
        }
        for (; col + 4 <= length; col += 4) {
            const __m128 a = _mm_loadu_ps(row + col);
            most = _mm_max_ps(most, a);
            nan = _mm_or_ps(nan, _mm_cmpunord_ps(a, a));
        }
        unordered = _mm_movemask_ps(nan) != 0;
        most = _mm_max_ps(most, more);
        most = _mm_max_ps(most, _mm_movehl_ps(most, most));
        most = _mm_max_ss(most, _mm_shuffle_ps(most, most, 1));
        largest = _mm_cvtss_f32(most);
    }
#endif
    for (; col < length; ++col) {
        const float x = row[col];
        unordered |= x != x;
        largest = x > largest ? x : largest;
    }
    if (unordered) fail_on_nan();
    if (largest == 0.0f) {
        std::size_t last = length - 1;
        while (row[last] != 0.0f) --last;
        largest = row[last];
    }
    return largest;
}

// Rows of two or more floats side by side, each aligned.
bool packed_rows(const View2<float>& class_probabilities) {
    return class_probabilities.cols >= 2 &&
           class_probabilities.col_stride == static_cast<std::ptrdiff_t>(sizeof(float)) &&
           reinterpret_cast<std::uintptr_t>(class_probabilities.data) % alignof(float) == 0 &&
           class_probabilities.row_stride % static_cast<std::ptrdiff_t>(alignof(float)) == 0;
}

const float* packed_row(const View2<float>& class_probabilities, std::size_t row) {
    return reinterpret_cast<const float*>(class_probabilities.data +
                                          static_cast<std::ptrdiff_t>(row) *
                                              class_probabilities.row_stride);
}

}  // namespace

float row_max(const View2<float>& class_probabilities, std::size_t row) {
    if (class_probabilities.cols == 0) fail(messages::kUnwrapNone, messages::row_max_empty_site());
    const std::size_t length = class_probabilities.cols;
    // A single element is never compared, so even a NaN stands.
    if (length == 1) return class_probabilities(row, 0);
    if (packed_rows(class_probabilities)) {
        return packed_row_max(packed_row(class_probabilities, row), length);
    }
    float largest = class_probabilities(row, 0);
    for (std::size_t col = 1; col < length; ++col) {
        const float x = class_probabilities(row, col);
        // `>=` takes the later of equal values, so (0.0, -0.0) yields -0.0.
        if (x >= largest) {
            largest = x;
        } else if (!(largest >= x)) {
            fail_on_nan();
        }
    }
    return largest;
}

EffectiveArrays filter_by_score(float score_threshold, const View2<float>& bounding_boxes,
                                const View2<float>& class_probabilities,
                                const View1<float>& uncertainty_scores,
                                const View1<std::int64_t>& scales, FilteredRows& rows) {
    // Zero of either sign switches the filter off; NaN does not.
    if (score_threshold == 0.0f) return EffectiveArrays{bounding_boxes, uncertainty_scores, scales};

    // One pass takes every row's maximum and copies the rows it keeps. A row
    // fails before any later row is looked at, and a NaN anywhere fails the
    // call, so every maximum is taken before a kept index is checked: the
    // rows missing from the other arrays are reported once the pass is over,
    // boxes first, then uncertainty values, then scales. Kept indices
    // ascend, so the last one decides each check.
    const std::size_t cols = std::min<std::size_t>(bounding_boxes.cols, 4);
    const bool packed_boxes =
        cols == 4 && bounding_boxes.col_stride == static_cast<std::ptrdiff_t>(sizeof(float));
    rows.boxes.clear();
    rows.uncertainty.clear();
    rows.scales.clear();
    std::size_t kept = 0;
    std::size_t last = 0;
    // The layout is the same for every row, so it is looked at once.
    const bool packed = packed_rows(class_probabilities);
    for (std::size_t row = 0; row < class_probabilities.rows; ++row) {
        const float confidence =
            packed ? packed_row_max(packed_row(class_probabilities, row), class_probabilities.cols)
                   : row_max(class_probabilities, row);
        if (!(confidence >= score_threshold)) continue;
        ++kept;
        last = row;
        if (row < bounding_boxes.rows) {
            if (packed_boxes) {
                float box[4];
                std::memcpy(box,
                            bounding_boxes.data +
                                static_cast<std::ptrdiff_t>(row) * bounding_boxes.row_stride,
                            sizeof box);
                rows.boxes.insert(rows.boxes.end(), box, box + 4);
            } else {
                for (std::size_t col = 0; col < cols; ++col) {
                    rows.boxes.push_back(bounding_boxes(row, col));
                }
            }
        }
        if (row < uncertainty_scores.length) rows.uncertainty.push_back(uncertainty_scores[row]);
        if (row < scales.length) rows.scales.push_back(scales[row]);
    }
    if (kept > 0) {
        if (last >= bounding_boxes.rows) fail(messages::kIndexBelowDim);
        if (last >= uncertainty_scores.length) {
            fail(messages::index_out_of_bounds(last, uncertainty_scores.length));
        }
        if (last >= scales.length) fail(messages::index_out_of_bounds(last, scales.length));
    }

    // Columns beyond the fourth are never read, so the compact copy drops
    // them; a box array narrower than four columns keeps its width, which
    // the grouping checks.
    EffectiveArrays effective;
    effective.boxes = View2<float>{reinterpret_cast<const char*>(rows.boxes.data()), kept, cols,
                                   static_cast<std::ptrdiff_t>(cols * sizeof(float)),
                                   static_cast<std::ptrdiff_t>(sizeof(float))};
    effective.uncertainty = View1<float>{reinterpret_cast<const char*>(rows.uncertainty.data()),
                                         kept, static_cast<std::ptrdiff_t>(sizeof(float))};
    effective.scales = View1<std::int64_t>{reinterpret_cast<const char*>(rows.scales.data()), kept,
                                           static_cast<std::ptrdiff_t>(sizeof(std::int64_t))};
    return effective;
}

}  // namespace kiv
