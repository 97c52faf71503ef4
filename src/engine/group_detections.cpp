#include "engine/group_detections.hpp"

#include <time.h>

#include <algorithm>
#include <cstdint>

#include "engine/messages.hpp"
#include "pool/row_loop.hpp"
#include "runtime/failure.hpp"

namespace kiv {
namespace {

// Up to this many detections the plain walk over all earlier members costs
// less than setting up the grid.
constexpr std::size_t kPlainWalkLimit = 48;

// From this many detections, with more than one worker, the grid search may
// go to the pool, in stretches of kBlockRows detections (see group_by_grid).
// Smaller calls have too few stretches left, once searches grow dear, to win
// back what the hand-overs cost.
constexpr std::size_t kParallelFrom = 8192;
constexpr std::size_t kBlockRows = 1024;

// The pool pays once a stretch searched on the calling thread takes this long
// per detection; searches grow dearer as the grid fills. Below it a block's
// hand-over, its pending members and the settling in order cost what the
// workers save: detector-like images of 100,000 detections search in about
// 0.6 us each, and their blocks on two workers took half as long again;
// piles of identical boxes that never match, 3 to 100 us each, came out even
// or a few percent ahead. So only searches dearer than any image of real
// detections go to the pool.
constexpr double kPoolPaysFromNs = 20000.0;

// While the pool pays, every so many stretches one stays on the calling
// thread, to measure again.
constexpr std::size_t kMeasureEvery = 8;

// Where the grid search may run: in stretches of `rows` detections, going to
// `pool` (the process-wide pool when it is null) once stretches on the
// calling thread take at least `pays_from_ns` of its time per detection; all
// on the calling thread when `rows` is 0.
struct Blocks {
    pool::Registry* pool;
    std::size_t rows;
    double pays_from_ns;
};

// CPU time of the calling thread, in nanoseconds: a stretch during which the
// thread waited for a processor does not look dear.
double thread_time_ns() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

bool similar(const GroupingWork& work, std::uint32_t a, std::uint32_t b, float threshold) {
    const double distance =
        pairwise_distance(work.boxes[a], work.areas[a], work.boxes[b], work.areas[b]);
    return similarity(distance) >= threshold;
}

// Objects in creation order, members in member order, stopping at the first
// similar member: the rule itself, for any threshold.
void group_by_walk(const GroupingWork& work, std::size_t n, float threshold, GroupList& groups) {
    for (std::uint32_t i = 0; i < n; ++i) {
        std::size_t object = 0;
        for (; object < groups.object_count(); ++object) {
            std::uint32_t m = groups.first[object];
            while (m != GroupList::kEnd && !similar(work, i, m, threshold)) m = groups.next[m];
            if (m != GroupList::kEnd) break;
        }
        if (object < groups.object_count()) {
            groups.join(object, i);
        } else {
            groups.start_object(i);
        }
    }
}

// Appends detection i to `object`, or to a new object when that is kNone;
// returns i's object.
std::uint32_t join_or_start(GroupList& groups, std::uint32_t i, std::uint32_t object) {
    if (object == OverlapGrid::kNone) {
        object = static_cast<std::uint32_t>(groups.object_count());
        groups.start_object(i);
    } else {
        groups.join(object, i);
    }
    return object;
}

// Detection i against every member before it, all of them in the grid.
void place_by_grid(GroupingWork& work, std::uint32_t i, GroupList& groups) {
    if (!work.placeable[i]) {
        groups.start_object(i);
        return;
    }
    const OverlapGrid::Place& place = work.grid.place(i);
    const std::uint32_t object = work.grid.first_match(i, place, OverlapGrid::kNone);
    work.grid.insert(i, place, join_or_start(groups, i, object));
}

// Detections [begin, end), with every member before `begin` in the grid.
// The block's detections go in as pending members first. Each one's search
// then depends on nothing the block decides, so the workers make them all
// while the grid stays unchanged: the lowest object among the members before
// the block, and the similar detections of the block before it. In order,
// the lowest object among all earlier members is the lower of that object
// and theirs; where more were similar than there was room for, the search is
// repeated, once the grid holds every earlier member, below that object.
void place_block(GroupingWork& work, std::uint32_t begin, std::uint32_t end, pool::Registry* pool,
                 GroupList& groups) {
    using PendingMatches = OverlapGrid::PendingMatches;
    const std::size_t rows = end - begin;
    work.block_places.resize(rows);
    work.block_matches.resize(rows);
    work.block_pending.resize(rows);
    work.block_objects.resize(rows);
    work.grid.begin_pending(begin, rows);
    for (std::uint32_t i = begin; i < end; ++i) {
        if (!work.placeable[i]) continue;
        const OverlapGrid::Place& place = work.grid.place(i);
        work.block_places[i - begin] = place;
        work.grid.insert_pending(i, place);
    }
    const auto search = [&work, begin](std::size_t row) {
        const std::uint32_t i = begin + static_cast<std::uint32_t>(row);
        if (!work.placeable[i]) return;
        PendingMatches& pending = work.block_pending[row];
        pending.count = 0;
        work.block_matches[row] =
            work.grid.first_match(i, work.block_places[row], OverlapGrid::kNone, pending);
    };
    if (pool != nullptr) {
        pool::for_each_row_on(*pool, rows, RowBody(search));
    } else {
        for_each_row_parallel(rows, search);
    }

    for (std::uint32_t i = begin; i < end; ++i) {
        if (!work.placeable[i]) {
            groups.start_object(i);
            continue;
        }
        const std::size_t row = i - begin;
        const OverlapGrid::Place& place = work.block_places[row];
        const PendingMatches& pending = work.block_pending[row];
        std::uint32_t object = work.block_matches[row];
        if (pending.count > PendingMatches::kRoom) {
            object = work.grid.first_match(i, place, object);
        } else {
            for (std::uint32_t k = 0; k < pending.count; ++k) {
                object = std::min(object, work.block_objects[pending.members[k] - begin]);
            }
        }
        object = join_or_start(groups, i, object);
        work.block_objects[row] = object;
        work.grid.settle(i, object);
    }
    work.grid.clear_pending();
}

// For a positive threshold only members that meet a detection's box can
// match it, so the grid's candidates decide. Which member of an object
// matches does not matter, only the lowest object with a match does, so
// neither the order in which candidates are tried nor their split between
// two grids can change the outcome.
void group_by_grid(GroupingWork& work, std::size_t n, float threshold, const Blocks& blocks,
                   GroupList& groups) {
    // A box that is inverted, or whose area is zero or NaN, has similarity 0
    // or NaN with every box: it never joins and is never joined.
    work.placeable.resize(n);
    for (std::size_t k = 0; k < n; ++k) {
        const Box& box = work.boxes[k];
        work.placeable[k] = box.c0 <= box.c2 && box.c1 <= box.c3 && work.areas[k] > 0.0;
    }
    work.grid.reset(work.boxes, work.areas.data(), work.placeable.data(), n, threshold);
    if (blocks.rows == 0) {
        for (std::uint32_t i = 0; i < n; ++i) place_by_grid(work, i, groups);
        return;
    }
    // Stretch by stretch, either way exact: on the calling thread, timed, or
    // as a block on the pool. The first has no earlier members to search in
    // parallel. Searches grow dearer only slowly, so the pool takes over when
    // two timed stretches in a row were dear: one alone may have been slowed
    // by something else, a page fault or an interrupt.
    bool on_pool = false;
    double previous_ns = 0.0;
    for (std::size_t stretch = 0, begin = 0; begin < n; ++stretch, begin += blocks.rows) {
        const auto first = static_cast<std::uint32_t>(begin);
        const auto end = static_cast<std::uint32_t>(std::min(n, begin + blocks.rows));
        if (on_pool && stretch % kMeasureEvery != 0) {
            place_block(work, first, end, blocks.pool, groups);
            continue;
        }
        const double start = thread_time_ns();
        for (std::uint32_t i = first; i < end; ++i) place_by_grid(work, i, groups);
        const double took_ns = (thread_time_ns() - start) / static_cast<double>(end - first);
        on_pool = std::min(took_ns, previous_ns) >= blocks.pays_from_ns;
        previous_ns = took_ns;
    }
}

// The failures grouping can have, in the order callers see them.
void check_boxes(const View2<float>& boxes) {
    // Without rows there is no column to miss.
    if (boxes.rows > 0 && boxes.cols < 4) fail(messages::kIndexOutOfBounds);
    // Checked before anything is copied, so a count beyond the limits fails
    // with its own message rather than running out of memory on the way.
    check_pairwise_size(boxes.rows);
}

void group_checked(const View2<float>& boxes, float iou_threshold, const Blocks& blocks,
                   GroupList& groups, GroupingWork& work) {
    const std::size_t n = boxes.rows;
    // Boxes stored as rows of exactly four aligned floats are read where they
    // are: the caller's arrays, or the filter's copy, outlive the grouping.
    if (boxes.col_stride == static_cast<std::ptrdiff_t>(sizeof(float)) &&
        boxes.row_stride == static_cast<std::ptrdiff_t>(sizeof(Box)) &&
        reinterpret_cast<std::uintptr_t>(boxes.data) % alignof(Box) == 0) {
        work.boxes = reinterpret_cast<const Box*>(boxes.data);
    } else {
        work.copied_boxes.resize(n);
        for (std::size_t r = 0; r < n; ++r) {
            work.copied_boxes[r] = Box{boxes(r, 0), boxes(r, 1), boxes(r, 2), boxes(r, 3)};
        }
        work.boxes = work.copied_boxes.data();
    }
    work.areas.resize(n);
    for (std::size_t r = 0; r < n; ++r) work.areas[r] = box_area(work.boxes[r]);

    groups.clear();
    if (!(iou_threshold <= 1.0f)) {
        // Similarities never exceed 1 (they are NaN or lie in [0, 1]), so a
        // NaN threshold or one above 1 leaves every detection on its own.
        for (std::uint32_t i = 0; i < n; ++i) groups.start_object(i);
    } else if (iou_threshold > 0.0f && n > kPlainWalkLimit) {
        group_by_grid(work, n, iou_threshold, blocks, groups);
    } else {
        // At or below zero every similarity but NaN matches, so the walk
        // usually stops at the first member it tries.
        group_by_walk(work, n, iou_threshold, groups);
    }
}

}  // namespace

void group_detections(const View2<float>& boxes, float iou_threshold, GroupList& groups,
                      GroupingWork& work) {
    check_boxes(boxes);
    // Every call makes sure the worker pool exists, whatever the count, so
    // the first call of the process is the one that starts it.
    const std::size_t threads = current_num_threads();
    // A single worker would only add the blocks' bookkeeping.
    const bool in_blocks = threads > 1 && boxes.rows >= kParallelFrom;
    group_checked(boxes, iou_threshold,
                  Blocks{nullptr, in_blocks ? kBlockRows : 0, kPoolPaysFromNs}, groups, work);
}

void group_detections(const View2<float>& boxes, float iou_threshold, GroupList& groups) {
    GroupingWork work;
    group_detections(boxes, iou_threshold, groups, work);
}

void group_detections_in_blocks(const View2<float>& boxes, float iou_threshold, GroupList& groups,
                                GroupingWork& work, pool::Registry& pool, std::size_t block_rows) {
    check_boxes(boxes);
    group_checked(boxes, iou_threshold, Blocks{&pool, block_rows, 0.0}, groups, work);
}

}  // namespace kiv
