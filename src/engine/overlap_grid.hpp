// A spatial index over the members placed so far, so that grouping evaluates
// only members that can be similar enough to the detection being placed.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/axis_pair.hpp"
#include "engine/match_shares.hpp"
#include "engine/member_quad.hpp"
#include "engine/pairwise_distance.hpp"

namespace kiv {

// Members are indexed by the low corner (c0, c1) of their boxes, on levels by
// size: level L holds boxes up to 2^L times a typical width and height.
// Boxes that are unbounded or too large for every level sit on one extra
// list that every query searches.
//
// A match needs the two boxes to overlap along each axis by a share of both
// widths and by a share of their sum (see match_shares). For a query box q and
// members of width at most W that confines a member's c0 to
// [q.c0 - k W, q.c2 - s w_q], with s that share and k = 1 + 1e-6 - s, and
// tighter still by the share of the sum; likewise c1. The query visits the
// cells of that range, computed with outward margins; since the cell
// function never decreases, no member inside the range can sit in a cell
// outside the visited ones. Cells are sized to the range, so a query visits
// a handful of them. Every box is known when the grid is set up, so a level
// whose boxes cover a modest rectangle of cells keeps them in a table of
// that rectangle; the cells of the other levels are hashed.
//
// Within a cell, members are kept in runs of one object each, runs in
// ascending object order: a query stops at the first run whose object is no
// better than the best match so far, and the first matching member of a run
// settles that cell. Which member of an object matches never matters, only
// the lowest object with a match does, so the order of trying is free. A
// run stores its members four to a quad, tested together before any exact
// similarity.
//
// Pending members are detections recorded at their places before their
// objects are known, on lists of their own in the same cells, so that the
// search for a query's lowest matching object also finds, in the same cells,
// the pending members before the query that are similar to it.
class OverlapGrid {
public:
    static constexpr std::uint32_t kNone = UINT32_MAX;

    // The level a box belongs on; its cell follows from its low corner.
    struct Place {
        int level;  // -1: the list of boxes that fit no level
    };

    // The pending members before a query that are similar to it, as many as
    // there is room for.
    struct PendingMatches {
        static constexpr std::uint32_t kRoom = 4;
        std::uint32_t count = 0;  // kRoom + 1 once one did not fit
        std::uint32_t members[kRoom];
    };

    // Sets up levels for `n` boxes; `placeable[k]` says whether box k can ever
    // be similar to anything (only those are placed or queried). `threshold`
    // is the similarity, above 0 and at most 1, that a match needs.
    void reset(const Box* boxes, const double* areas, const std::uint8_t* placeable, std::size_t n,
               float threshold);

    // Box m's place, worked out by reset().
    const Place& place(std::uint32_t m) const { return places_[m]; }

    // The lowest object below `below` holding a member m with
    // similarity(i, m) >= threshold among the members inserted so far, or
    // `below` when there is none; `place` is box i's. Pending members are not
    // looked at. Reads the grid only, so any number of threads may search at
    // once while nothing changes it.
    std::uint32_t first_match(std::uint32_t i, const Place& place, std::uint32_t below) const;

    // The same, also collecting into `pending` (empty on entry) the pending
    // members m < i with similarity(i, m) >= threshold.
    std::uint32_t first_match(std::uint32_t i, const Place& place, std::uint32_t below,
                              PendingMatches& pending) const;

    // Records member m of `object`, at m's place.
    void insert(std::uint32_t m, const Place& place, std::uint32_t object);

    // Makes room for pending members among detections [first, first + count);
    // none may be pending yet.
    void begin_pending(std::uint32_t first, std::size_t count);

    // Records detection m, at its place, as pending; in ascending order of m.
    void insert_pending(std::uint32_t m, const Place& place);

    // Records pending detection m as a member of `object`, as insert() would;
    // searches that look at pending members still find it among them.
    void settle(std::uint32_t m, std::uint32_t object);

    // Forgets every pending member; those inserted meanwhile stay members.
    void clear_pending();

    // Calls visit(buffer) for each of its growable buffers, so that the
    // owner can weigh and trim them between calls.
    template <typename Visit>
    void for_each_buffer(Visit&& visit) {
        visit(first_run_);
        visit(last_run_);
        visit(cell_pending_);
        visit(slots_);
        visit(places_);
        visit(runs_);
        visit(segments_);
        visit(quads_);
        visit(next_in_level_);
        visit(object_of_);
        visit(widths_);
        visit(heights_);
        visit(pending_next_in_cell_);
        visit(pending_next_in_level_);
        visit(pending_cell_);
        visit(pending_members_);
        visit(pending_cells_);
    }

private:
    static constexpr int kMaxLevels = 48;
    // Cell indices of hashed levels are clamped here, far inside int64, so
    // that index arithmetic on a query range cannot overflow.
    static constexpr double kCellLimit = 0x1p60;

    // What a query reads of a member.
    struct Member {
        Box box;
        double area;
    };
    // A stretch of one run's members stored side by side, four to a quad,
    // so that a query walking a run reads memory in order and tests four
    // members at once; a run's stretches double in size.
    struct Segment {
        std::uint32_t start;     // first quad in quads_
        std::uint32_t count;     // members
        std::uint32_t capacity;  // members, four per quad
        std::uint32_t older;     // the run's previous segment, or kNone
    };
    // One object's members in one cell, with the smallest box holding them
    // all and their smallest width, height and area.
    struct Run {
        std::uint32_t object;
        std::uint32_t newest;  // segment last added to
        std::uint32_t next;    // run of the next higher object in the cell, or kNone
        Box bounds;
        float narrowest;
        float shortest;
        float smallest_area;
    };
    // An entry of the hash table: a cell of a hashed level and its index in
    // the cells' arrays; an empty slot has level_plus_one 0.
    struct Slot {
        std::int64_t x;
        std::int64_t y;
        std::uint32_t level_plus_one;
        std::uint32_t cell;
    };
    // Pending members in order of index, chained from the oldest.
    struct PendingChain {
        std::uint32_t oldest = kNone;
        std::uint32_t newest = kNone;
    };
    struct PendingCell {
        std::uint32_t cell;
        PendingChain chain;  // through pending_next_in_cell_
    };
    struct Level {
        double width_cap = 0.0;  // boxes up to this width and height belong here
        double height_cap = 0.0;
        AxisPair inverse_cell{0.0, 0.0};  // of the cells' width and height
        // Cells count from the lowest corners of the level's boxes, up to
        // the limits: the last cell of its table, or far inside int64.
        AxisPair origin{INFINITY, INFINITY};
        AxisPair limit{kCellLimit, kCellLimit};
        std::int64_t columns = 0;           // of its table
        std::uint32_t dense_first = kNone;  // its first cell, or kNone when hashed
        std::uint32_t boxes = 0;            // placeable boxes that belong here
        // Extreme widths, heights and areas of those boxes, and what the
        // searches derive from them (see search_level and search_cells).
        double widest = 0.0;
        double tallest = 0.0;
        double narrowest = INFINITY;
        double shortest = INFINITY;
        double smallest_area = INFINITY;
        double largest_area = -INFINITY;
        double share_of_smallest_area = 0.0;
        double share_of_narrowest = 0.0;
        double share_of_shortest = 0.0;
        AxisPair reach{0.0, 0.0};
        AxisPair loss{0.0, 0.0};
        AxisPair kept{0.0, 0.0};
        AxisPair margin{0.0, 0.0};
        // Members placed on the level so far, the lowest of their objects,
        // and the chain of them all through next_in_level_.
        std::uint32_t size = 0;
        std::uint32_t lowest_object = kNone;
        std::uint32_t newest = kNone;
        // Pending members on the level, chained through
        // pending_next_in_level_.
        std::uint32_t pending_size = 0;
        PendingChain pending;
    };
    // A cell's column and row on its level.
    struct CellIndex {
        std::int64_t x;
        std::int64_t y;
    };
    // What the searches need of one query, worked out once.
    struct Query {
        std::uint32_t i;
        QuadQuery quad;
        double area;
        double share_of_area;  // share_ of it
        bool bounded;          // finite edges and extents: the corner ranges apply
        // Its extents as the similarity takes them, their shares and the
        // parts of the corner ranges that depend on the query alone.
        double width;
        double height;
        float width_f;
        float height_f;
        AxisPair share_of_extent;  // of its width and height
        float union_of_width;
        float union_of_height;
        AxisPair low;   // the low edges c0, c1
        AxisPair high;  // the high edges c2, c3
        AxisPair gain;
        AxisPair margin;
    };

    int level_of(const Box& box) const;
    CellIndex cells_of(const Level& level, AxisLanes corner) const;
    void add_member(std::uint32_t cell, Level& level, std::uint32_t m, std::uint32_t object);
    bool similar(std::uint32_t i, const Member& member) const;
    bool areas_may_match(double a, double b) const;
    bool run_may_match(const Run& run, const Query& query) const;
    bool member_may_match(const Member& member, const Box& query, double query_area) const;
    void search_runs(std::uint32_t run, const Query& query, std::uint32_t& best) const;
    void search_members(const Level& level, std::uint32_t i, std::uint32_t& best) const;
    void append_pending(PendingChain& chain, std::vector<std::uint32_t>& next, std::uint32_t m);
    void search_pending(const PendingChain& chain, const std::vector<std::uint32_t>& next,
                        std::uint32_t i, PendingMatches& pending) const;
    Query query_of(std::uint32_t i) const;
    template <bool kPending>
    void search_level(int level, const Query& query, std::uint32_t& best,
                      PendingMatches* pending) const;
    template <bool kPending>
    void search_cells(const Level& level, const Query& query, bool members, bool pendings,
                      std::uint32_t& best, PendingMatches* pending) const;
    template <bool kPending>
    std::uint32_t search(std::uint32_t i, const Place& place, std::uint32_t below,
                         PendingMatches* pending) const;
    std::size_t slot_index(int level, std::int64_t x, std::int64_t y) const;
    std::uint32_t find(int level, std::int64_t x, std::int64_t y) const;
    std::uint32_t find_or_add(int level, std::int64_t x, std::int64_t y);
    std::uint32_t cell_of(std::uint32_t m, const Place& place);
    void add_to_cell(std::uint32_t& first_run, std::uint32_t& last_run, std::uint32_t m,
                     std::uint32_t object);
    std::uint32_t new_segment(std::uint32_t quads, std::uint32_t older);
    void append(std::uint32_t segment, std::uint32_t m);

    const Box* boxes_ = nullptr;
    const double* areas_ = nullptr;
    float threshold_ = 1.0f;
    // The threshold's match_shares().
    double share_ = 0.0;              // of_larger
    double overlap_share_ = 0.0;      // of_extent
    double union_share_ = 0.0;        // of_sum
    float quad_share_ = 0.0f;         // single_of_sum
    float axis_share_ = 0.0f;         // single_of_extent
    double inverse_width_cap_ = 1.0;  // of the lowest level
    double inverse_height_cap_ = 1.0;
    int levels_ = 0;
    Level level_[kMaxLevels] = {};
    std::uint64_t hash_seed_ = 0;

    // Per cell: its first and last run, and its entry in pending_cells_ (or
    // kNone). The cells of each dense level come first, row by row, then
    // those of the hashed levels in the order they were made.
    std::vector<std::uint32_t> first_run_;
    std::vector<std::uint32_t> last_run_;
    std::vector<std::uint32_t> cell_pending_;
    std::size_t cells_used_ = 0;
    // The hashed levels' cells by level and place (open addressing,
    // power-of-two size).
    std::vector<Slot> slots_;
    std::size_t hash_mask_ = 0;
    std::vector<Place> places_;  // per placeable detection
    std::vector<Run> runs_;
    std::vector<Segment> segments_;
    std::vector<MemberQuad> quads_;             // members of every run, by segment
    std::vector<std::uint32_t> next_in_level_;  // per detection
    std::vector<std::uint32_t> object_of_;      // per detection, once inserted
    std::uint32_t wide_first_run_ = kNone;
    std::uint32_t wide_last_run_ = kNone;
    // Scratch for the typical box width and height.
    std::vector<float> widths_;
    std::vector<float> heights_;

    std::uint32_t pending_first_ = 0;  // see begin_pending()
    // Per pending detection, from pending_first_: the next pending member of
    // its cell, and of its level (or of the boxes that fit no level).
    std::vector<std::uint32_t> pending_next_in_cell_;
    std::vector<std::uint32_t> pending_next_in_level_;
    // Per pending detection: its cell, or kNone when it fits no level.
    std::vector<std::uint32_t> pending_cell_;
    // Per pending detection: what a search reads of it, side by side.
    std::vector<Member> pending_members_;
    std::vector<PendingCell> pending_cells_;  // cells holding pending members
    PendingChain wide_pending_;
};

}  // namespace kiv
