// A value along each axis, and the few operations the grid's searches apply
// to both at once. Each lane does exactly the scalar operation, in double
// precision, so a pair gives the bits of the two scalar expressions.
#pragma once

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kiv {

struct AxisPair {
    double x;
    double y;
};
// Loaded as two lanes at once.
static_assert(sizeof(AxisPair) == 2 * sizeof(double));

#if defined(__SSE2__)
using AxisLanes = __m128d;

inline AxisLanes lanes(const AxisPair& pair) { return _mm_loadu_pd(&pair.x); }
inline AxisLanes lanes(double x, double y) { return _mm_set_pd(y, x); }
inline AxisLanes add(AxisLanes a, AxisLanes b) { return _mm_add_pd(a, b); }
inline AxisLanes subtract(AxisLanes a, AxisLanes b) { return _mm_sub_pd(a, b); }
inline AxisLanes multiply(AxisLanes a, AxisLanes b) { return _mm_mul_pd(a, b); }
// a > b ? a : b and a < b ? a : b, lane by lane: maxpd and minpd return their
// second operand unless the first is the greater, or the lesser.
inline AxisLanes greater_of(AxisLanes a, AxisLanes b) { return _mm_max_pd(a, b); }
inline AxisLanes lesser_of(AxisLanes a, AxisLanes b) { return _mm_min_pd(a, b); }
// Through static_cast, so that the sanitizers' check of the conversion
// still sees it.
inline std::int64_t truncated_x(AxisLanes v) { return static_cast<std::int64_t>(_mm_cvtsd_f64(v)); }
inline std::int64_t truncated_y(AxisLanes v) {
    return static_cast<std::int64_t>(_mm_cvtsd_f64(_mm_unpackhi_pd(v, v)));
}
#else
struct AxisLanes {
    double x;
    double y;
};

inline AxisLanes lanes(const AxisPair& pair) { return AxisLanes{pair.x, pair.y}; }
inline AxisLanes lanes(double x, double y) { return AxisLanes{x, y}; }
inline AxisLanes add(AxisLanes a, AxisLanes b) { return AxisLanes{a.x + b.x, a.y + b.y}; }
inline AxisLanes subtract(AxisLanes a, AxisLanes b) { return AxisLanes{a.x - b.x, a.y - b.y}; }
inline AxisLanes multiply(AxisLanes a, AxisLanes b) { return AxisLanes{a.x * b.x, a.y * b.y}; }
inline AxisLanes greater_of(AxisLanes a, AxisLanes b) {
    return AxisLanes{a.x > b.x ? a.x : b.x, a.y > b.y ? a.y : b.y};
}
inline AxisLanes lesser_of(AxisLanes a, AxisLanes b) {
    return AxisLanes{a.x < b.x ? a.x : b.x, a.y < b.y ? a.y : b.y};
}
inline std::int64_t truncated_x(AxisLanes v) { return static_cast<std::int64_t>(v.x); }
inline std::int64_t truncated_y(AxisLanes v) { return static_cast<std::int64_t>(v.y); }
#endif

}  // namespace kiv
