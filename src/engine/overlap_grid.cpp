#include "engine/overlap_grid.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kiv {
namespace {

bool is_finite(const Box& box) {
    return std::isfinite(box.c0) && std::isfinite(box.c1) && std::isfinite(box.c2) &&
           std::isfinite(box.c3);
}

// A difference of floats is finite only when both are, so finite extents
// say that every edge is finite too.
bool extents_finite(float width, float height) {
    return std::isfinite(width) && std::isfinite(height);
}

// Median of the values (reordered in place), or 1 when there is none or it
// is not finite.
double typical(std::vector<float>& values) {
    if (values.empty()) return 1.0;
    auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return std::isfinite(*middle) ? static_cast<double>(*middle) : 1.0;
}

// The typical size is a median of at most about this many boxes, spread over
// the array: any size serves correctness, and a sample serves speed as well.
constexpr std::size_t kSizeSample = 256;

}  // namespace

void OverlapGrid::reset(const Box* boxes, const double* areas, const std::uint8_t* placeable,
                        std::size_t n, float threshold) {
    boxes_ = boxes;
    areas_ = areas;
    threshold_ = threshold;
    const MatchShares shares = match_shares(threshold);
    share_ = shares.of_larger;
    overlap_share_ = shares.of_extent;
    union_share_ = shares.of_sum;
    quad_share_ = shares.single_of_sum;
    axis_share_ = shares.single_of_extent;
    // Less 1e-6 again for the rounding of the corner ranges' extents.
    const double corner_share = union_share_ * (1.0 - 1e-6);

    // Levels double in size from the median box; the median keeps a typical
    // box on a level whose boxes are of its size.
    float widest = 0.0f, tallest = 0.0f;
    const std::size_t stride = 1 + n / kSizeSample;
    std::size_t next_sample = 0;
    widths_.clear();
    heights_.clear();
    for (std::size_t k = 0; k < n; ++k) {
        if (!placeable[k] || !is_finite(boxes[k])) continue;
        const float width = boxes[k].c2 - boxes[k].c0;
        const float height = boxes[k].c3 - boxes[k].c1;
        if (std::isfinite(width)) widest = std::max(widest, width);
        if (std::isfinite(height)) tallest = std::max(tallest, height);
        if (k < next_sample) continue;
        next_sample = k + stride;
        if (std::isfinite(width)) widths_.push_back(width);
        if (std::isfinite(height)) heights_.push_back(height);
    }
    const double width = typical(widths_);
    const double height = typical(heights_);

    levels_ = 1;
    while (levels_ < kMaxLevels &&
           (std::ldexp(width, levels_ - 1) < widest || std::ldexp(height, levels_ - 1) < tallest)) {
        ++levels_;
    }
    // Cells as wide as the range a query visits, for members of the level's
    // largest size (never finer than 1/1024 of it).
    const double cell_share = std::max(1.0 + 1e-6 - overlap_share_, 1.0 / 1024);
    for (int index = 0; index < levels_; ++index) {
        Level& level = level_[index];
        level = Level{};
        level.width_cap = std::ldexp(width, index);
        level.height_cap = std::ldexp(height, index);
        level.inverse_cell =
            AxisPair{1.0 / (cell_share * level.width_cap), 1.0 / (cell_share * level.height_cap)};
    }
    inverse_width_cap_ = 1.0 / width;
    inverse_height_cap_ = 1.0 / height;

    // Every placeable box's level is known now, and with it each level's
    // extremes, which bound its members' overlaps with any query.
    places_.resize(n);
    AxisPair highest_corner[kMaxLevels];
    std::fill_n(highest_corner, levels_, AxisPair{-INFINITY, -INFINITY});
    for (std::size_t k = 0; k < n; ++k) {
        if (!placeable[k]) continue;
        const int index = level_of(boxes[k]);
        places_[k].level = index;
        if (index < 0) continue;
        Level& level = level_[index];
        const Box& box = boxes[k];
        level.origin.x = std::min(level.origin.x, static_cast<double>(box.c0));
        level.origin.y = std::min(level.origin.y, static_cast<double>(box.c1));
        highest_corner[index].x = std::max(highest_corner[index].x, static_cast<double>(box.c0));
        highest_corner[index].y = std::max(highest_corner[index].y, static_cast<double>(box.c1));
        level.widest = std::max(level.widest, static_cast<double>(box.c2 - box.c0));
        level.tallest = std::max(level.tallest, static_cast<double>(box.c3 - box.c1));
        level.narrowest = std::min(level.narrowest, static_cast<double>(box.c2 - box.c0));
        level.shortest = std::min(level.shortest, static_cast<double>(box.c3 - box.c1));
        level.smallest_area = std::min(level.smallest_area, areas[k]);
        level.largest_area = std::max(level.largest_area, areas[k]);
        ++level.boxes;
    }
    // Then the cells each level uses, counted from its lowest corners; since
    // cells never decrease with the coordinate, the last are those of its
    // highest corners. A level whose cells span a modest rectangle keeps
    // that rectangle as a table of its own, reached by plain indexing; the
    // others share a hash table, which spreads boxes that lie far apart.
    std::int64_t columns[kMaxLevels] = {};
    std::int64_t rows[kMaxLevels] = {};
    std::size_t dense_cells = 0;
    std::size_t hashed_count = 0;
    for (int index = 0; index < levels_; ++index) {
        Level& level = level_[index];
        if (level.boxes == 0) continue;
        const CellIndex last = cells_of(level, lanes(highest_corner[index]));
        columns[index] = last.x + 1;
        rows[index] = last.y + 1;
        const double cells = static_cast<double>(columns[index]) * static_cast<double>(rows[index]);
        // Cell numbers, the hashed ones included, stay below kNone.
        const double room = static_cast<double>(kNone - n - dense_cells);
        if (cells <= 4.0 * static_cast<double>(level.boxes) + 64.0 && cells < room) {
            level.dense_first = static_cast<std::uint32_t>(dense_cells);
            level.columns = columns[index];
            // No cell beyond the rectangle holds a member, so a query's
            // range ends at its edge.
            level.limit = AxisPair{static_cast<double>(columns[index] - 1),
                                   static_cast<double>(rows[index] - 1)};
            dense_cells += static_cast<std::size_t>(cells);
        } else {
            hashed_count += level.boxes;
        }
        level.share_of_smallest_area = share_ * level.smallest_area;
        level.share_of_narrowest = overlap_share_ * level.narrowest;
        level.share_of_shortest = overlap_share_ * level.shortest;
        // The terms of the corner ranges (see search_cells) that depend on
        // the level alone.
        level.reach = AxisPair{(1.0 + 1e-6 - overlap_share_) * level.widest,
                               (1.0 + 1e-6 - overlap_share_) * level.tallest};
        level.loss = AxisPair{(1.0 + 1e-6 - union_share_) * level.widest,
                              (1.0 + 1e-6 - union_share_) * level.tallest};
        level.kept = AxisPair{corner_share * level.narrowest, corner_share * level.shortest};
        level.margin = AxisPair{4.0 * level.widest * 0x1p-49, 4.0 * level.tallest * 0x1p-49};
    }
    // The hashed levels add at most one cell per box, and their table stays
    // at most half full.
    const std::size_t hashed_slots = hashed_count == 0 ? 0 : std::bit_ceil(2 * hashed_count);
    hash_mask_ = hashed_slots == 0 ? 0 : hashed_slots - 1;
    slots_.assign(hashed_slots, Slot{0, 0, 0, kNone});
    cells_used_ = dense_cells;
    first_run_.assign(dense_cells + hashed_count, kNone);
    last_run_.resize(dense_cells + hashed_count);
    cell_pending_.assign(dense_cells + hashed_count, kNone);
    runs_.clear();
    segments_.clear();
    quads_.clear();
    next_in_level_.resize(n);
    object_of_.resize(n);
    wide_first_run_ = kNone;
    wide_last_run_ = kNone;
    pending_cells_.clear();
    wide_pending_ = PendingChain{};
    // Where a cell lands in the table varies from run to run, so no fixed set
    // of boxes crowds one stretch of it; nothing else depends on the seed.
    hash_seed_ = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(slots_.data())) *
                 0x9E3779B97F4A7C15ull;
}

// Cells never decrease with the coordinate, which is all that the corner
// ranges rely on; clamped to the level's cells, they start at 0.
OverlapGrid::CellIndex OverlapGrid::cells_of(const Level& level, AxisLanes corner) const {
    // Per axis: scaled > 0.0 ? scaled : 0.0, then scaled < limit ? scaled : limit.
    AxisLanes scaled = multiply(subtract(corner, lanes(level.origin)), lanes(level.inverse_cell));
    scaled = greater_of(scaled, lanes(0.0, 0.0));
    scaled = lesser_of(scaled, lanes(level.limit));
    return CellIndex{truncated_x(scaled), truncated_y(scaled)};
}

[[gnu::always_inline]] inline int OverlapGrid::level_of(const Box& box) const {
    const float width = box.c2 - box.c0;
    const float height = box.c3 - box.c1;
    // Finite extents have finite edges (see extents_finite).
    if (!extents_finite(width, height)) return -1;
    // Start from the level the binary exponent of the size suggests; the
    // loop settles the exact level by comparing with the caps.
    const double relative = std::max(width * inverse_width_cap_, height * inverse_height_cap_);
    const int exponent = static_cast<int>((std::bit_cast<std::uint64_t>(relative) >> 52) & 0x7ff);
    int level = std::clamp(exponent - 1023, 0, levels_ - 1);
    for (; level < levels_; ++level) {
        if (width <= level_[level].width_cap && height <= level_[level].height_cap) return level;
    }
    return -1;
}

std::size_t OverlapGrid::slot_index(int level, std::int64_t x, std::int64_t y) const {
    std::uint64_t h = hash_seed_ ^ static_cast<std::uint64_t>(level);
    h ^= static_cast<std::uint64_t>(x) * 0xC2B2AE3D27D4EB4Full;
    h = (h ^ (h >> 31)) * 0x165667B19E3779F9ull;
    h ^= static_cast<std::uint64_t>(y) * 0x9E3779B97F4A7C15ull;
    h = (h ^ (h >> 29)) * 0xBF58476D1CE4E5B9ull;
    h ^= h >> 32;
    return static_cast<std::size_t>(h) & hash_mask_;
}

std::uint32_t OverlapGrid::find(int level, std::int64_t x, std::int64_t y) const {
    const std::uint32_t tag = static_cast<std::uint32_t>(level) + 1;
    for (std::size_t k = slot_index(level, x, y);; k = (k + 1) & hash_mask_) {
        const Slot& slot = slots_[k];
        if (slot.level_plus_one == 0) return kNone;
        if (slot.level_plus_one == tag && slot.x == x && slot.y == y) return slot.cell;
    }
}

[[gnu::always_inline]] inline std::uint32_t OverlapGrid::find_or_add(int level, std::int64_t x,
                                                                     std::int64_t y) {
    const Level& dense = level_[level];
    // Every box's cell lies within its level's rectangle.
    if (dense.dense_first != kNone) {
        return dense.dense_first + static_cast<std::uint32_t>(y * dense.columns + x);
    }
    const std::uint32_t tag = static_cast<std::uint32_t>(level) + 1;
    for (std::size_t k = slot_index(level, x, y);; k = (k + 1) & hash_mask_) {
        Slot& slot = slots_[k];
        if (slot.level_plus_one == 0) {
            slot = Slot{x, y, tag, static_cast<std::uint32_t>(cells_used_++)};
            return slot.cell;
        }
        if (slot.level_plus_one == tag && slot.x == x && slot.y == y) return slot.cell;
    }
}

// Member m's cell, found or made.
[[gnu::always_inline]] inline std::uint32_t OverlapGrid::cell_of(std::uint32_t m,
                                                                 const Place& place) {
    const CellIndex cell = cells_of(level_[place.level], lanes(boxes_[m].c0, boxes_[m].c1));
    return find_or_add(place.level, cell.x, cell.y);
}

std::uint32_t OverlapGrid::new_segment(std::uint32_t quads, std::uint32_t older) {
    segments_.push_back(Segment{static_cast<std::uint32_t>(quads_.size()), 0, 4 * quads, older});
    // Mostly a single quad: one at a time costs less than resize() does.
    for (std::uint32_t k = 0; k < quads; ++k) quads_.emplace_back();
    return static_cast<std::uint32_t>(segments_.size() - 1);
}

// Inlined, as are add_member, find_or_add and level_of: each runs once per
// member, and the call would cost about as much as its work.
[[gnu::always_inline]] inline void OverlapGrid::append(std::uint32_t segment, std::uint32_t m) {
    Segment& stretch = segments_[segment];
    quads_[stretch.start + stretch.count / 4].set(static_cast<int>(stretch.count % 4), boxes_[m],
                                                  areas_[m]);
    ++stretch.count;
}

void OverlapGrid::add_to_cell(std::uint32_t& first_run, std::uint32_t& last_run, std::uint32_t m,
                              std::uint32_t object) {
    const Box& box = boxes_[m];
    const auto new_run = [&](std::uint32_t next) {
        const std::uint32_t segment = new_segment(1, kNone);
        append(segment, m);
        runs_.push_back(Run{object, segment, next, box, box.c2 - box.c0, box.c3 - box.c1,
                            static_cast<float>(areas_[m])});
        return static_cast<std::uint32_t>(runs_.size() - 1);
    };
    // Objects are created in ascending order, so a new object's run usually
    // goes last; only a member joining an older object walks the runs.
    if (first_run == kNone) {
        first_run = last_run = new_run(kNone);
        return;
    }
    if (runs_[last_run].object < object) {
        const std::uint32_t run = new_run(kNone);
        runs_[last_run].next = run;
        last_run = run;
        return;
    }
    std::uint32_t before = kNone;
    std::uint32_t run = first_run;
    while (runs_[run].object < object) {
        before = run;
        run = runs_[run].next;
    }
    if (runs_[run].object != object) {
        const std::uint32_t inserted = new_run(run);
        if (before == kNone) {
            first_run = inserted;
        } else {
            runs_[before].next = inserted;
        }
        return;
    }
    std::uint32_t segment = runs_[run].newest;
    if (segments_[segment].count == segments_[segment].capacity) {
        const std::uint32_t quads = std::min<std::uint32_t>(segments_[segment].capacity / 2, 16);
        segment = new_segment(quads, segment);
        runs_[run].newest = segment;
    }
    append(segment, m);
    Run& joined = runs_[run];
    joined.bounds.c0 = std::min(joined.bounds.c0, box.c0);
    joined.bounds.c1 = std::min(joined.bounds.c1, box.c1);
    joined.bounds.c2 = std::max(joined.bounds.c2, box.c2);
    joined.bounds.c3 = std::max(joined.bounds.c3, box.c3);
    joined.narrowest = std::min(joined.narrowest, box.c2 - box.c0);
    joined.shortest = std::min(joined.shortest, box.c3 - box.c1);
    joined.smallest_area = std::min(joined.smallest_area, static_cast<float>(areas_[m]));
}

void OverlapGrid::insert(std::uint32_t m, const Place& place, std::uint32_t object) {
    if (place.level < 0) {
        object_of_[m] = object;
        add_to_cell(wide_first_run_, wide_last_run_, m, object);
        return;
    }
    add_member(cell_of(m, place), level_[place.level], m, object);
}

[[gnu::always_inline]] inline void OverlapGrid::add_member(std::uint32_t cell, Level& level,
                                                           std::uint32_t m, std::uint32_t object) {
    object_of_[m] = object;
    add_to_cell(first_run_[cell], last_run_[cell], m, object);
    next_in_level_[m] = level.newest;
    level.newest = m;
    ++level.size;
    level.lowest_object = std::min(level.lowest_object, object);
}

void OverlapGrid::begin_pending(std::uint32_t first, std::size_t count) {
    pending_first_ = first;
    pending_next_in_cell_.resize(count);
    pending_next_in_level_.resize(count);
    pending_cell_.resize(count);
    pending_members_.resize(count);
}

void OverlapGrid::append_pending(PendingChain& chain, std::vector<std::uint32_t>& next,
                                 std::uint32_t m) {
    next[m - pending_first_] = kNone;
    if (chain.newest == kNone) {
        chain.oldest = m;
    } else {
        next[chain.newest - pending_first_] = m;
    }
    chain.newest = m;
}

void OverlapGrid::insert_pending(std::uint32_t m, const Place& place) {
    pending_members_[m - pending_first_] = Member{boxes_[m], areas_[m]};
    if (place.level < 0) {
        pending_cell_[m - pending_first_] = kNone;
        append_pending(wide_pending_, pending_next_in_level_, m);
        return;
    }
    const std::uint32_t cell = cell_of(m, place);
    pending_cell_[m - pending_first_] = cell;
    if (cell_pending_[cell] == kNone) {
        cell_pending_[cell] = static_cast<std::uint32_t>(pending_cells_.size());
        pending_cells_.push_back(PendingCell{cell, PendingChain{}});
    }
    append_pending(pending_cells_[cell_pending_[cell]].chain, pending_next_in_cell_, m);
    Level& level = level_[place.level];
    append_pending(level.pending, pending_next_in_level_, m);
    ++level.pending_size;
}

void OverlapGrid::settle(std::uint32_t m, std::uint32_t object) {
    const std::uint32_t cell = pending_cell_[m - pending_first_];
    if (cell == kNone) {
        object_of_[m] = object;
        add_to_cell(wide_first_run_, wide_last_run_, m, object);
        return;
    }
    add_member(cell, level_[places_[m].level], m, object);
}

void OverlapGrid::clear_pending() {
    for (const PendingCell& cell : pending_cells_) cell_pending_[cell.cell] = kNone;
    pending_cells_.clear();
    for (int index = 0; index < levels_; ++index) {
        level_[index].pending_size = 0;
        level_[index].pending = PendingChain{};
    }
    wide_pending_ = PendingChain{};
}

bool OverlapGrid::similar(std::uint32_t i, const Member& member) const {
    const double distance = pairwise_distance(boxes_[i], areas_[i], member.box, member.area);
    return similarity(distance) >= threshold_;
}

// The intersection never exceeds the smaller area, and a match needs at
// least share_ times the larger one; a NaN product rules nothing out.
bool OverlapGrid::areas_may_match(double a, double b) const {
    return !(a < share_ * b) && !(b < share_ * a);
}

// Inlined into the walk over runs: it is short, and most runs a walk meets
// fail it.
[[gnu::always_inline]] inline bool OverlapGrid::run_may_match(const Run& run,
                                                              const Query& query) const {
    // The run's enclosing box bounds every member's overlap with the query:
    // each edge difference, its rounding and the rounded product can only
    // grow when a member's edges are replaced by the enclosing ones. No
    // member's intersection then exceeds `most` or the query's area, and
    // each member's area and extents are at least the run's smallest. The
    // shares are those of the quads (see match_shares), in single precision too.
#if defined(__SSE2__)
    // The scalar operations below, the x axis in lane 0 and y in lane 1;
    // maxps and minps select as those conditionals do.
    static_assert(offsetof(Run, shortest) == offsetof(Run, narrowest) + sizeof(float));
    static_assert(offsetof(Query, height_f) == offsetof(Query, width_f) + sizeof(float));
    static_assert(offsetof(Query, union_of_height) ==
                  offsetof(Query, union_of_width) + sizeof(float));
    const auto pair = [](const float* first) {
        return _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(first));
    };
    const __m128 box = _mm_loadu_ps(&query.quad.box.c0);
    const __m128 bounds = _mm_loadu_ps(&run.bounds.c0);
    const __m128 low = _mm_max_ps(box, bounds);   // left, top
    const __m128 high = _mm_min_ps(box, bounds);  // lanes 2 and 3: right, bottom
    const __m128 extent = _mm_sub_ps(_mm_movehl_ps(high, high), low);  // width, height
    const float width = _mm_cvtss_f32(extent);
    const float height = _mm_cvtss_f32(_mm_shuffle_ps(extent, extent, 1));
    const float most = height * width;
    const float overlap = most < query.quad.area ? most : query.quad.area;
    const float needed = query.quad.share_of_area + query.quad.share * run.smallest_area;
    const __m128 smallest = pair(&run.narrowest);
    const __m128 wider = _mm_max_ps(pair(&query.width_f), smallest);
    const __m128 by_share = _mm_mul_ps(_mm_set1_ps(axis_share_), wider);
    const __m128 by_sum = _mm_add_ps(pair(&query.union_of_width),
                                     _mm_mul_ps(_mm_set1_ps(query.quad.share), smallest));
    const __m128 across = _mm_max_ps(by_share, by_sum);
    const int short_axes = _mm_movemask_ps(_mm_cmplt_ps(extent, across)) & 0x3;
    return !(overlap < needed) & (short_axes == 0);
#else
    const Box& box = query.quad.box;
    const Box& bounds = run.bounds;
    const float left = box.c0 > bounds.c0 ? box.c0 : bounds.c0;
    const float right = box.c2 < bounds.c2 ? box.c2 : bounds.c2;
    const float top = box.c1 > bounds.c1 ? box.c1 : bounds.c1;
    const float bottom = box.c3 < bounds.c3 ? box.c3 : bounds.c3;
    const float height = bottom - top;
    const float width = right - left;
    const float most = height * width;
    const float overlap = most < query.quad.area ? most : query.quad.area;
    const float needed = query.quad.share_of_area + query.quad.share * run.smallest_area;
    // Along each axis: the share of both extents, and the share of their sum.
    const float wider = query.width_f > run.narrowest ? query.width_f : run.narrowest;
    const float taller = query.height_f > run.shortest ? query.height_f : run.shortest;
    const float by_share_x = axis_share_ * wider;
    const float by_share_y = axis_share_ * taller;
    const float by_sum_x = query.union_of_width + query.quad.share * run.narrowest;
    const float by_sum_y = query.union_of_height + query.quad.share * run.shortest;
    const float across = by_share_x > by_sum_x ? by_share_x : by_sum_x;
    const float along = by_share_y > by_sum_y ? by_share_y : by_sum_y;
    // Both bounds are never negative, so boxes apart along an axis fail.
    return !(overlap < needed) & !(width < across) & !(height < along);
#endif
}

bool OverlapGrid::member_may_match(const Member& member, const Box& query,
                                   double query_area) const {
    // The similarity's own intersection (the product of the overlaps, at
    // most the smaller area) against union_share_ of both areas, without
    // branches: most candidates fail here, far cheaper than the similarity
    // itself. Boxes apart along an axis fail the sign test; with the other
    // overlap positive the product is negative and fails the share as well.
    const Box& box = member.box;
    const float left = query.c0 > box.c0 ? query.c0 : box.c0;
    const float right = query.c2 < box.c2 ? query.c2 : box.c2;
    const float top = query.c1 > box.c1 ? query.c1 : box.c1;
    const float bottom = query.c3 < box.c3 ? query.c3 : box.c3;
    const float height = bottom - top;
    const float width = right - left;
    const float most = height * width;
    const double smaller = query_area < member.area ? query_area : member.area;
    const double overlap =
        static_cast<double>(most) < smaller ? static_cast<double>(most) : smaller;
    return !(width < 0.0f) & !(height < 0.0f) &
           !(overlap < union_share_ * (query_area + member.area));
}

[[gnu::always_inline]] inline void OverlapGrid::search_runs(std::uint32_t run, const Query& query,
                                                            std::uint32_t& best) const {
    const std::uint32_t i = query.i;
    // Runs ascend by object: once one is no better than `best`, none after is.
    for (; run != kNone && runs_[run].object < best; run = runs_[run].next) {
        if (!run_may_match(runs_[run], query)) continue;
        for (std::uint32_t segment = runs_[run].newest; segment != kNone;
             segment = segments_[segment].older) {
            const MemberQuad* quad = quads_.data() + segments_[segment].start;
            const MemberQuad* const end = quad + (segments_[segment].count + 3) / 4;
            for (; quad != end; ++quad) {
                for (unsigned lanes = quad_may_match(*quad, query.quad); lanes != 0;
                     lanes &= lanes - 1) {
                    const int lane = std::countr_zero(lanes);
                    if (similar(i, Member{quad->box(lane), quad->area[lane]})) {
                        best = runs_[run].object;
                        return;
                    }
                }
            }
        }
    }
}

void OverlapGrid::search_members(const Level& level, std::uint32_t i, std::uint32_t& best) const {
    for (std::uint32_t m = level.newest; m != kNone; m = next_in_level_[m]) {
        if (object_of_[m] < best && areas_may_match(areas_[i], areas_[m]) &&
            similar(i, Member{boxes_[m], areas_[m]})) {
            best = object_of_[m];
        }
    }
}

void OverlapGrid::search_pending(const PendingChain& chain, const std::vector<std::uint32_t>& next,
                                 std::uint32_t i, PendingMatches& pending) const {
    if (pending.count > PendingMatches::kRoom) return;
    for (std::uint32_t m = chain.oldest; m < i; m = next[m - pending_first_]) {
        const Member& member = pending_members_[m - pending_first_];
        if (!member_may_match(member, boxes_[i], areas_[i]) || !similar(i, member)) continue;
        if (pending.count >= PendingMatches::kRoom) {
            pending.count = PendingMatches::kRoom + 1;
            return;
        }
        pending.members[pending.count++] = m;
    }
}

// Inlined into the level loop: most levels fail these tests, and a call for
// each would cost as much as the tests.
template <bool kPending>
[[gnu::always_inline]] inline void OverlapGrid::search_level(int index, const Query& query,
                                                             std::uint32_t& best,
                                                             PendingMatches* pending) const {
    const Level& level = level_[index];
    // Members are searched when one belongs to a better object (a level
    // without members has no lowest object), pending members when one comes
    // before the query and there is room left.
    const bool members = level.lowest_object < best;
    const bool pendings =
        kPending && level.pending.oldest < query.i && pending->count <= PendingMatches::kRoom;
    if (!members && !pendings) return;
    // Skipped when every box of the level is too small, or every one too
    // large, to share enough area with the query; and, along each axis, the
    // overlap is at most either extent and at least the share of both, so
    // extents differ by at most that factor.
    if (level.largest_area < query.share_of_area || query.area < level.share_of_smallest_area) {
        return;
    }
    if (query.bounded &&
        (level.widest < query.share_of_extent.x || level.share_of_narrowest > query.width ||
         level.tallest < query.share_of_extent.y || level.share_of_shortest > query.height)) {
        return;
    }
    search_cells<kPending>(level, query, members, pendings, best, pending);
}

// Inlined, as is search_runs: a query's search is a few short loops, and
// calls between them cost about as much as the loops' work.
template <bool kPending>
[[gnu::always_inline]] inline void OverlapGrid::search_cells(const Level& level, const Query& query,
                                                             bool members, bool pendings,
                                                             std::uint32_t& best,
                                                             PendingMatches* pending) const {
    const std::uint32_t i = query.i;
    const auto search_all = [&] {
        if (members) search_members(level, i, best);
        if (pendings) search_pending(level.pending, pending_next_in_level_, i, *pending);
    };
    if (!query.bounded) {
        search_all();
        return;
    }
    // The values a member's low corner can take along each axis and still
    // overlap the query as a match needs. With s and u the overlap's shares
    // of either extent and of their sum (see match_shares), w the query's
    // extent, and the member's extent from the level's narrowest n to its
    // widest W (1e-6 of which covers each extent's rounding), the corner
    // lies at or above low - (1 + 1e-6 - s) W and low + u w - (1 + 1e-6 - u) W,
    // and at or below high - s w and high - u (w + n). The double arithmetic
    // is pushed outward by far more than its rounding can reach.
    // Both axes at once; std::max(a, b) is greater_of(b, a).
    //   lowest = std::max(low - reach, (low - loss) + gain) - margin
    //   highest = (high - std::max(share_of_extent, gain + kept)) + margin
    const AxisLanes margin = add(lanes(query.margin), lanes(level.margin));
    const AxisLanes low = lanes(query.low);
    const AxisLanes gain = lanes(query.gain);
    const AxisLanes lowest = subtract(
        greater_of(add(subtract(low, lanes(level.loss)), gain), subtract(low, lanes(level.reach))),
        margin);
    const AxisLanes highest =
        add(subtract(lanes(query.high),
                     greater_of(add(gain, lanes(level.kept)), lanes(query.share_of_extent))),
            margin);
    const CellIndex first_cell = cells_of(level, lowest);
    const CellIndex last_cell = cells_of(level, highest);
    const std::int64_t x0 = first_cell.x;
    const std::int64_t x1 = last_cell.x;
    const std::int64_t y0 = first_cell.y;
    const std::int64_t y1 = last_cell.y;
    if (x1 < x0 || y1 < y0) return;
    const double cells = static_cast<double>(x1 - x0 + 1) * static_cast<double>(y1 - y0 + 1);
    const std::uint32_t placed = level.size + (kPending ? level.pending_size : 0);
    if (cells > placed) {
        // A query much larger than this level's cells: fewer members than
        // cells to look at, so look at each member of the level instead.
        search_all();
        return;
    }
    if (level.dense_first != kNone) {
        // The cells of a row of the range lie side by side.
        const std::int64_t columns = level.columns;
        const std::size_t first = level.dense_first + static_cast<std::size_t>(y0 * columns + x0);
        const std::int64_t width = x1 - x0;
        if (members) {
            const std::uint32_t* row = first_run_.data() + first;
            const std::uint32_t* const last_row = row + (y1 - y0) * columns;
            for (;; row += columns) {
                const std::uint32_t* const end = row + width + 1;
                for (const std::uint32_t* cell = row; cell != end; ++cell) {
                    if (*cell != kNone) search_runs(*cell, query, best);
                }
                if (row == last_row) break;
            }
        }
        if (pendings) {
            const std::uint32_t* row = cell_pending_.data() + first;
            for (std::int64_t y = y0; y <= y1; ++y, row += columns) {
                for (std::int64_t x = 0; x <= width; ++x) {
                    const std::uint32_t entry = row[x];
                    if (entry == kNone) continue;
                    search_pending(pending_cells_[entry].chain, pending_next_in_cell_, i, *pending);
                }
            }
        }
        return;
    }
    const int index = static_cast<int>(&level - level_);
    for (std::int64_t x = x0; x <= x1; ++x) {
        for (std::int64_t y = y0; y <= y1; ++y) {
            const std::uint32_t cell = find(index, x, y);
            if (cell == kNone) continue;
            if (members && first_run_[cell] != kNone) search_runs(first_run_[cell], query, best);
            if (pendings && cell_pending_[cell] != kNone) {
                search_pending(pending_cells_[cell_pending_[cell]].chain, pending_next_in_cell_, i,
                               *pending);
            }
        }
    }
}

OverlapGrid::Query OverlapGrid::query_of(std::uint32_t i) const {
    const Box& box = boxes_[i];
    const float width = box.c2 - box.c0;
    const float height = box.c3 - box.c1;
    Query query{};
    query.i = i;
    query.quad = quad_query(box, areas_[i], quad_share_);
    query.area = areas_[i];
    query.share_of_area = share_ * areas_[i];
    // The corner ranges need finite edges and extents; any other query looks
    // at every member.
    query.bounded = extents_finite(width, height);
    query.width = width;
    query.height = height;
    query.width_f = width;
    query.height_f = height;
    query.share_of_extent = AxisPair{overlap_share_ * query.width, overlap_share_ * query.height};
    query.union_of_width = quad_share_ * width;
    query.union_of_height = quad_share_ * height;
    query.low = AxisPair{box.c0, box.c1};
    query.high = AxisPair{box.c2, box.c3};
    const double corner_share = union_share_ * (1.0 - 1e-6);
    query.gain = AxisPair{corner_share * query.width, corner_share * query.height};
    query.margin = AxisPair{(std::fabs(query.low.x) + std::fabs(query.high.x)) * 0x1p-49,
                            (std::fabs(query.low.y) + std::fabs(query.high.y)) * 0x1p-49};
    return query;
}

template <bool kPending>
std::uint32_t OverlapGrid::search(std::uint32_t i, const Place& place, std::uint32_t below,
                                  PendingMatches* pending) const {
    std::uint32_t best = below;
    const Query query = query_of(i);
    // Members of the query's own size are the likeliest matches; searching
    // their level first lets the other levels stop early.
    if (place.level >= 0) search_level<kPending>(place.level, query, best, pending);
    for (int level = 0; level < levels_; ++level) {
        if (level != place.level) search_level<kPending>(level, query, best, pending);
    }
    search_runs(wide_first_run_, query, best);
    if (kPending && pending->count <= PendingMatches::kRoom) {
        search_pending(wide_pending_, pending_next_in_level_, i, *pending);
    }
    return best;
}

std::uint32_t OverlapGrid::first_match(std::uint32_t i, const Place& place,
                                       std::uint32_t below) const {
    return search<false>(i, place, below, nullptr);
}

std::uint32_t OverlapGrid::first_match(std::uint32_t i, const Place& place, std::uint32_t below,
                                       PendingMatches& pending) const {
    return search<true>(i, place, below, &pending);
}

}  // namespace kiv
