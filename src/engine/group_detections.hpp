// Grouping of detections into objects by the first-match rule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/array_view.hpp"
#include "engine/overlap_grid.hpp"
#include "engine/pairwise_distance.hpp"

namespace kiv {

namespace pool {
class Registry;
}

// The group list: objects in creation order, each a chain of its members in
// the order they joined (which is ascending). Detection indices fit 32 bits
// because grouping refuses any count whose pairwise matrix could not exist.
struct GroupList {
    static constexpr std::uint32_t kEnd = UINT32_MAX;

    std::vector<std::uint32_t> first;  // per object: its first (smallest) member
    std::vector<std::uint32_t> last;   // per object: its latest member
    std::vector<std::uint32_t> next;   // per detection: next member of its object, or kEnd

    std::size_t object_count() const { return first.size(); }
    std::size_t detection_count() const { return next.size(); }

    void clear() {
        first.clear();
        last.clear();
        next.clear();
    }
    void start_object(std::uint32_t detection) {
        first.push_back(detection);
        last.push_back(detection);
        next.push_back(kEnd);
    }
    void join(std::size_t object, std::uint32_t detection) {
        next[last[object]] = detection;
        last[object] = detection;
        next.push_back(kEnd);
    }
};

// What grouping needs besides its result, kept between calls to spare
// allocations.
struct GroupingWork {
    const Box* boxes = nullptr;     // the boxes being grouped, in place or copied
    std::vector<Box> copied_boxes;  // boxes copied out of other layouts
    std::vector<double> areas;
    std::vector<std::uint8_t> placeable;
    OverlapGrid grid;
    // Used when blocks of detections are searched on the worker pool, per
    // detection of the block: its place, the lowest object it matches among
    // the members before the block, the similar detections of the block
    // before it, and its object.
    std::vector<OverlapGrid::Place> block_places;
    std::vector<std::uint32_t> block_matches;
    std::vector<OverlapGrid::PendingMatches> block_pending;
    std::vector<std::uint32_t> block_objects;
};

// Walks the effective boxes in order; each detection joins the first object
// (in creation order) holding a member whose similarity with it is at least
// `iou_threshold`, or else starts a new object. Fails when there are boxes
// without four columns, or more than the pairwise limits allow.
void group_detections(const View2<float>& boxes, float iou_threshold, GroupList& groups,
                      GroupingWork& work);

// The same with working storage of its own.
void group_detections(const View2<float>& boxes, float iou_threshold, GroupList& groups);

// The same, searching detections in stretches of `block_rows` on `pool`,
// whatever their number and cost: every stretch but the first and every
// eighth, which stay on the calling thread (all of them when `block_rows` is
// 0). group_detections decides by itself when the pool pays; the group list
// is the same either way.
void group_detections_in_blocks(const View2<float>& boxes, float iou_threshold, GroupList& groups,
                                GroupingWork& work, pool::Registry& pool, std::size_t block_rows);

}  // namespace kiv
