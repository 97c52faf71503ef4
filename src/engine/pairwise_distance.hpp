// Overlap of two boxes as a distance, 1 - intersection over union.
#pragma once

#include <cstddef>

namespace kiv {

// Columns 0 to 3 of a box row: low and high edge along one axis (c0, c2) and
// along the other (c1, c3). Inverted boxes are allowed.
struct Box {
    float c0;
    float c1;
    float c2;
    float c3;
};

// The area as a single-precision product of single-precision differences,
// widened afterwards: the widening must not reach the differences.
inline double box_area(const Box& box) {
    const float height = box.c3 - box.c1;
    const float width = box.c2 - box.c0;
    const float area = height * width;
    return static_cast<double>(area);
}

// Distance between box a (the first operand) and box b. Every comparison is
// false when a NaN takes part, which decides what NaN coordinates yield; the
// order of the double operations is part of the result.
//
// Two consequences that grouping relies on: boxes strictly apart on an axis
// (which includes every inverted box) are at distance exactly 1.0; and with
// a NaN area on either side the result is 1.0 or NaN.
inline double pairwise_distance(const Box& a, double area_a, const Box& b, double area_b) {
    const float left = a.c0 > b.c0 ? a.c0 : b.c0;
    const float right = a.c2 < b.c2 ? a.c2 : b.c2;
    if (left > right) return 1.0;
    const float top = a.c1 > b.c1 ? a.c1 : b.c1;
    const float bottom = a.c3 < b.c3 ? a.c3 : b.c3;
    if (top > bottom) return 1.0;
    const float height = bottom - top;
    const float width = right - left;
    const float overlap = height * width;
    double intersection = static_cast<double>(overlap);
    const double smaller = area_a < area_b ? area_a : area_b;
    if (!(intersection < smaller)) intersection = smaller;
    const double both = area_b + area_a;
    const double union_area = both - intersection;
    const double denominator = union_area + 1e-16;
    const double ratio = intersection / denominator;
    return 1.0 - ratio;
}

// The similarity that grouping compares: the distance narrowed to single
// precision and subtracted from one in single precision.
inline float similarity(double distance) {
    const float narrowed = static_cast<float>(distance);
    return 1.0f - narrowed;
}

// Fails unless the n-by-n matrix of doubles of all pairwise distances could
// be described and allocated: first the element count, then the byte count,
// against the signed machine word. Grouping never builds that matrix, but
// the limits stay those of the design that did, so callers see the same
// failures; they also keep every detection index within 32 bits.
void check_pairwise_size(std::size_t n);

}  // namespace kiv
