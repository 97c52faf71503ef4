// Four members of the grid side by side, and the test that rules most of
// them out at once, before any exact similarity.
#pragma once

#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/pairwise_distance.hpp"

namespace kiv {

// Lanes not yet filled hold a box inverted on both axes: it overlaps nothing.
struct alignas(16) MemberQuad {
    float c0[4] = {INFINITY, INFINITY, INFINITY, INFINITY};
    float c1[4] = {INFINITY, INFINITY, INFINITY, INFINITY};
    float c2[4] = {-INFINITY, -INFINITY, -INFINITY, -INFINITY};
    float c3[4] = {-INFINITY, -INFINITY, -INFINITY, -INFINITY};
    float area[4] = {0.0f, 0.0f, 0.0f, 0.0f};  // box_area, exact in single precision

    void set(int lane, const Box& box, double box_area) {
        c0[lane] = box.c0;
        c1[lane] = box.c1;
        c2[lane] = box.c2;
        c3[lane] = box.c3;
        area[lane] = static_cast<float>(box_area);
    }
    Box box(int lane) const { return Box{c0[lane], c1[lane], c2[lane], c3[lane]}; }
};

// What the test needs of a query, worked out once per query.
struct QuadQuery {
    Box box;
    float area;
    // `share` times the query's area (see quad_may_match).
    float share_of_area;
    float share;
};

inline QuadQuery quad_query(const Box& box, double area, float share) {
    const float single_area = static_cast<float>(area);
    return QuadQuery{box, single_area, share * single_area, share};
}

// One bit per lane (bit k for lane k) that may be similar to the query.
//
// Each lane's intersection is the similarity's own: the same selections of
// edges, differences and product, at most the smaller area. A match needs
// it to reach `share` times the sum of both areas, with `share` below what
// the ratio demands by more than the single-precision roundings of that sum
// (MatchShares::single_of_sum). Lanes apart along an axis fail the sign test.
// The selections are exactly those of pairwise_distance: maxps returns its
// first operand only when it is the greater, minps only when the lesser.
inline unsigned quad_may_match(const MemberQuad& quad, const QuadQuery& query) {
#if defined(__SSE2__)
    const __m128 left = _mm_max_ps(_mm_set1_ps(query.box.c0), _mm_load_ps(quad.c0));
    const __m128 right = _mm_min_ps(_mm_set1_ps(query.box.c2), _mm_load_ps(quad.c2));
    const __m128 top = _mm_max_ps(_mm_set1_ps(query.box.c1), _mm_load_ps(quad.c1));
    const __m128 bottom = _mm_min_ps(_mm_set1_ps(query.box.c3), _mm_load_ps(quad.c3));
    const __m128 height = _mm_sub_ps(bottom, top);
    const __m128 width = _mm_sub_ps(right, left);
    const __m128 most = _mm_mul_ps(height, width);
    const __m128 area = _mm_load_ps(quad.area);
    const __m128 smaller = _mm_min_ps(_mm_set1_ps(query.area), area);
    const __m128 overlap = _mm_min_ps(most, smaller);
    const __m128 needed =
        _mm_add_ps(_mm_set1_ps(query.share_of_area), _mm_mul_ps(_mm_set1_ps(query.share), area));
    const __m128 zero = _mm_setzero_ps();
    const __m128 fails = _mm_or_ps(_mm_or_ps(_mm_cmplt_ps(width, zero), _mm_cmplt_ps(height, zero)),
                                   _mm_cmplt_ps(overlap, needed));
    return static_cast<unsigned>(_mm_movemask_ps(fails)) ^ 0xFu;
#else
    unsigned lanes = 0;
    for (int lane = 0; lane < 4; ++lane) {
        const float left = query.box.c0 > quad.c0[lane] ? query.box.c0 : quad.c0[lane];
        const float right = query.box.c2 < quad.c2[lane] ? query.box.c2 : quad.c2[lane];
        const float top = query.box.c1 > quad.c1[lane] ? query.box.c1 : quad.c1[lane];
        const float bottom = query.box.c3 < quad.c3[lane] ? query.box.c3 : quad.c3[lane];
        const float height = bottom - top;
        const float width = right - left;
        const float most = height * width;
        const float smaller = query.area < quad.area[lane] ? query.area : quad.area[lane];
        const float overlap = most < smaller ? most : smaller;
        const float needed = query.share_of_area + query.share * quad.area[lane];
        const bool fails = width < 0.0f || height < 0.0f || overlap < needed;
        lanes |= static_cast<unsigned>(!fails) << lane;
    }
    return lanes;
#endif
}

}  // namespace kiv
