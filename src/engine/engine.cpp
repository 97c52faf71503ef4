#include "engine/engine.hpp"

#include <cstddef>
#include <memory>
#include <type_traits>
#include <vector>

#include "engine/bucket_objects.hpp"
#include "engine/filter_by_score.hpp"
#include "engine/group_detections.hpp"
#include "engine/image_score.hpp"
#include "engine/max_per_object.hpp"
#include "engine/sum_buckets.hpp"

namespace kiv {
namespace {

// Everything a call builds besides its result. One set per thread is reused
// from call to call, so small calls allocate nothing once warm.
struct CallStorage {
    FilteredRows filtered;
    GroupList groups;
    GroupingWork grouping;
    ScaleTable table;
    std::vector<std::size_t> slot_of;
    ScaleSums sums;
    std::vector<float> object_scores;
};

// Storage stays for the next call as long as it totals at most
// kKeptTotalBytes, so that a run of calls of similar size neither allocates
// nor faults in fresh pages each time. A call that grew it beyond that gives
// back every buffer over kKeptBytes when it ends, so what stays between
// calls is bounded whatever the size of the largest call.
constexpr std::size_t kKeptTotalBytes = std::size_t{4} << 20;
constexpr std::size_t kKeptBytes = std::size_t{64} << 10;

template <typename Visit>
void for_each_buffer(CallStorage& s, Visit&& visit) {
    const auto each = [&](auto&... buffers) { (visit(buffers), ...); };
    each(s.filtered.boxes, s.filtered.uncertainty, s.filtered.scales, s.groups.first, s.groups.last,
         s.groups.next, s.grouping.copied_boxes, s.grouping.areas, s.grouping.placeable,
         s.grouping.block_places, s.grouping.block_matches, s.grouping.block_pending,
         s.grouping.block_objects, s.table.distinct, s.slot_of, s.sums.begin, s.sums.sums,
         s.sums.opened_by, s.sums.position, s.object_scores);
    s.grouping.grid.for_each_buffer(visit);
}

template <typename T>
std::size_t bytes_of(const std::vector<T>& buffer) {
    return buffer.capacity() * sizeof(T);
}

void trim(CallStorage& s) {
    std::size_t total = 0;
    for_each_buffer(s, [&](const auto& buffer) { total += bytes_of(buffer); });
    if (total <= kKeptTotalBytes) return;
    for_each_buffer(s, [](auto& buffer) {
        if (bytes_of(buffer) > kKeptBytes) std::remove_reference_t<decltype(buffer)>().swap(buffer);
    });
}

// The calling thread's storage, and whether a call is using it.
struct ThreadStorage {
    CallStorage storage;
    bool in_use = false;
};

thread_local ThreadStorage t_storage;

// From a shared object every lookup of thread-local storage goes through
// __tls_get_addr, and where the compiler sees which thread-local object a
// reference names, it looks the object up again at each use. Out of line,
// the lookup happens once per call.
[[gnu::noinline]] ThreadStorage& thread_storage() { return t_storage; }

// Lends the calling thread's storage to one call and trims it afterwards, on
// every way out. A nested call on the same thread, which the module never
// makes, would get fresh storage instead of clobbering the outer one.
class BorrowedStorage {
public:
    BorrowedStorage() : thread_(thread_storage()) {
        if (!thread_.in_use) {
            thread_.in_use = true;
            storage_ = &thread_.storage;
        } else {
            own_ = std::make_unique<CallStorage>();
            storage_ = own_.get();
        }
    }
    ~BorrowedStorage() {
        if (own_) return;
        trim(thread_.storage);
        thread_.in_use = false;
    }
    BorrowedStorage(const BorrowedStorage&) = delete;
    BorrowedStorage& operator=(const BorrowedStorage&) = delete;

    CallStorage& operator*() const { return *storage_; }

private:
    ThreadStorage& thread_;
    std::unique_ptr<CallStorage> own_;
    CallStorage* storage_;
};

}  // namespace

float score_image(const Thresholds& thresholds, const View2<float>& bounding_boxes,
                  const View2<float>& class_probabilities, const View1<float>& uncertainty_scores,
                  const View1<std::int64_t>& scales) {
    const BorrowedStorage borrowed;
    CallStorage& s = *borrowed;

    // The caller's arrays cannot change during the call, so stages read them
    // in place; only the rows the filter keeps are copied.
    const EffectiveArrays effective =
        filter_by_score(thresholds.score_threshold, bounding_boxes, class_probabilities,
                        uncertainty_scores, scales, s.filtered);

    group_detections(effective.boxes, thresholds.iou_threshold, s.groups, s.grouping);

    check_lengths(effective.scales, effective.uncertainty);
    build_scale_table(effective.scales, s.table);
    bucket_objects(s.groups, effective.scales, effective.uncertainty, s.table, s.slot_of);

    sum_buckets(s.groups, s.slot_of, effective.uncertainty, s.table.size(), s.sums);
    max_per_object(s.sums, s.table.size(), s.object_scores);
    return image_score(s.object_scores);
}

}  // namespace kiv
