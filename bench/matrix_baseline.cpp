// The image score computed the straightforward way, stage by stage, with every
// intermediate materialised: owned copies, an N x N float64 distance matrix
// filled row-parallel, an N x N float32 similarity matrix, a fresh flag row per
// detection, and one copy of a hashed scale table per object. It exists only so
// the benchmark can show what the module saves over it; the arithmetic is the
// module's, operation for operation, so the scores must agree bit for bit.
//
// Built by bench/run.py with -O2 -ffp-contract=off and loaded through ctypes.
// Inputs are contiguous row-major arrays.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

// Return codes of kiv_matrix_score; the module raises where these are returned.
constexpr int kOk = 0;
constexpr int kNoMaximum = 1;       // a probability row with NaN or without columns
constexpr int kIndexOutOfRange = 2; // a kept or grouped index beyond an array
constexpr int kLengthMismatch = 3;  // scales and uncertainties of different lengths
constexpr int kNaNComparison = 4;   // a NaN per-scale sum among two or more
constexpr int kNarrowBoxes = 5;     // fewer than four box columns

using Group = std::vector<std::size_t>;

// Largest element, the later one of equal values; false when it does not exist.
bool row_max(const float* row, std::size_t len, float& out) {
    if (len == 0) return false;
    float m = row[0];
    for (std::size_t j = 1; j < len; ++j) {
        const float x = row[j];
        if (x >= m) {
            m = x;
        } else if (m >= x) {
        } else {
            return false;
        }
    }
    out = m;
    return true;
}

double distance(const float* a, const float* b, double area_a, double area_b) {
    const float left = a[0] > b[0] ? a[0] : b[0];
    const float right = a[2] < b[2] ? a[2] : b[2];
    if (left > right) return 1.0;
    const float top = a[1] > b[1] ? a[1] : b[1];
    const float bottom = a[3] < b[3] ? a[3] : b[3];
    if (top > bottom) return 1.0;
    const float height = bottom - top;
    const float width = right - left;
    const float product = height * width;
    double intersection = static_cast<double>(product);
    const double smaller = area_a < area_b ? area_a : area_b;
    if (!(intersection < smaller)) intersection = smaller;
    const double sum_areas = area_b + area_a;
    const double union_area = sum_areas - intersection;
    const double denominator = union_area + 1e-16;
    const double ratio = intersection / denominator;
    return 1.0 - ratio;
}

}  // namespace

extern "C" int kiv_matrix_score(float iou_threshold, float score_threshold,
                                const float* boxes_in, std::int64_t n_boxes,
                                std::int64_t box_cols, const float* probs_in,
                                std::int64_t n_prob_rows, std::int64_t n_classes,
                                const float* unc_in, std::int64_t n_unc,
                                const std::int64_t* scales_in, std::int64_t n_scales,
                                int threads, float* out) {
    const std::size_t nb = static_cast<std::size_t>(n_boxes);
    const std::size_t w = static_cast<std::size_t>(box_cols);
    const std::size_t nc = static_cast<std::size_t>(n_prob_rows);
    const std::size_t classes = static_cast<std::size_t>(n_classes);

    // Owned copies of all four inputs.
    std::vector<float> boxes(boxes_in, boxes_in + nb * w);
    std::vector<float> probs(probs_in, probs_in + nc * classes);
    std::vector<float> unc(unc_in, unc_in + n_unc);
    std::vector<std::int64_t> scales(scales_in, scales_in + n_scales);

    std::size_t n = nb;

    // Score filter.
    if (!(score_threshold == 0.0f)) {
        std::vector<float> confidence(nc);
        for (std::size_t i = 0; i < nc; ++i) {
            if (!row_max(probs.data() + i * classes, classes, confidence[i])) return kNoMaximum;
        }
        std::vector<std::size_t> kept;
        for (std::size_t i = 0; i < nc; ++i) {
            if (confidence[i] >= score_threshold) kept.push_back(i);
        }
        std::vector<float> kept_boxes;
        kept_boxes.reserve(kept.size() * w);
        for (std::size_t r : kept) {
            if (r >= nb) return kIndexOutOfRange;
            kept_boxes.insert(kept_boxes.end(), boxes.begin() + r * w, boxes.begin() + (r + 1) * w);
        }
        if (!kept.empty() && (kept.back() >= unc.size() || kept.back() >= scales.size()))
            return kIndexOutOfRange;
        std::vector<float> kept_unc;
        std::vector<std::int64_t> kept_scales;
        for (std::size_t r : kept) kept_unc.push_back(unc[r]);
        for (std::size_t r : kept) kept_scales.push_back(scales[r]);
        boxes = std::move(kept_boxes);
        unc = std::move(kept_unc);
        scales = std::move(kept_scales);
        n = kept.size();
    }
    if (n > 0 && w < 4) return kNarrowBoxes;

    // Box areas.
    std::vector<double> area(n);
    for (std::size_t r = 0; r < n; ++r) {
        const float* b = boxes.data() + r * w;
        const float height = b[3] - b[1];
        const float width = b[2] - b[0];
        const float product = height * width;
        area[r] = static_cast<double>(product);
    }

    // Distance matrix, zero-filled, rows split into one contiguous block per thread.
    std::vector<double> dist(n * n, 0.0);
    {
        const std::size_t t = std::max<std::size_t>(
            1, std::min<std::size_t>(static_cast<std::size_t>(threads > 0 ? threads : 1), n));
        auto fill = [&](std::size_t begin, std::size_t end) {
            for (std::size_t a = begin; a < end; ++a) {
                const float* box_a = boxes.data() + a * w;
                double* row = dist.data() + a * n;
                for (std::size_t b = 0; b < n; ++b)
                    row[b] = distance(box_a, boxes.data() + b * w, area[a], area[b]);
            }
        };
        std::vector<std::thread> workers;
        for (std::size_t k = 0; k < t; ++k)
            workers.emplace_back(fill, n * k / t, n * (k + 1) / t);
        for (auto& worker : workers) worker.join();
    }

    // Similarity matrix; the distance matrix goes as soon as it exists.
    std::vector<float> sim(n * n);
    for (std::size_t e = 0; e < n * n; ++e) {
        const float narrowed = static_cast<float>(dist[e]);
        sim[e] = 1.0f - narrowed;
    }
    std::vector<double>().swap(dist);

    // Grouping: first object holding an overlapping member, else a new object.
    std::vector<Group> groups;
    for (std::size_t i = 0; i < n; ++i) {
        std::vector<std::uint8_t> flag(n);
        const float* row = sim.data() + i * n;
        for (std::size_t b = 0; b < n; ++b) flag[b] = row[b] >= iou_threshold ? 1 : 0;
        bool placed = false;
        for (Group& group : groups) {
            for (std::size_t m : group) {
                if (flag[m]) {
                    group.push_back(i);
                    placed = true;
                    break;
                }
            }
            if (placed) break;
        }
        if (!placed) groups.push_back(Group{i});
    }
    std::vector<float>().swap(sim);

    // Scale table and one copy of it per object.
    if (scales.size() != unc.size()) return kLengthMismatch;
    std::unordered_map<std::int64_t, std::vector<float>> table;
    for (std::int64_t s : scales) table.try_emplace(s);
    std::vector<std::vector<std::vector<float>>> object_buckets;
    object_buckets.reserve(groups.size());
    for (const Group& group : groups) {
        auto copy = table;
        for (std::size_t d : group) {
            if (d >= scales.size() || d >= unc.size()) return kIndexOutOfRange;
            copy[scales[d]].push_back(unc[d]);
        }
        std::vector<std::vector<float>> buckets;
        buckets.reserve(copy.size());
        for (auto& entry : copy) buckets.push_back(std::move(entry.second));
        object_buckets.push_back(std::move(buckets));
    }

    // Per-scale sums.
    std::vector<std::vector<float>> sums;
    sums.reserve(object_buckets.size());
    for (const auto& buckets : object_buckets) {
        std::vector<float> per_scale;
        per_scale.reserve(buckets.size());
        for (const auto& bucket : buckets) {
            float acc = 0.0f;
            for (float v : bucket) acc = acc + v;
            per_scale.push_back(acc);
        }
        sums.push_back(std::move(per_scale));
    }

    // Object scores.
    std::vector<float> object_scores;
    object_scores.reserve(sums.size());
    for (const auto& per_scale : sums) {
        if (per_scale.empty()) return kNaNComparison;
        float m = per_scale[0];
        for (std::size_t k = 1; k < per_scale.size(); ++k) {
            const float x = per_scale[k];
            if (x >= m) {
                m = x;
            } else if (m >= x) {
            } else {
                return kNaNComparison;
            }
        }
        object_scores.push_back(m);
    }

    // Image score.
    float total = 0.0f;
    for (float s : object_scores) total = total + s;
    *out = total;
    return kOk;
}
