#include "literal_score.hpp"

#include <cstdint>
#include <limits>
#include <vector>

namespace kiv::fuzz {
namespace {

const std::string kUnwrapNone = "called `Option::unwrap()` on a `None` value";
const std::string kIndexBelowDim = "assertion failed: index < dim";
const std::string kIndexOutOfBounds = "ndarray: index out of bounds";
const std::string kShapeTooLarge =
    "ndarray: Shape too large, product of non-zero axis lengths overflows isize";
const std::string kCapacityOverflow = "capacity overflow";

// Ends the computation with a failure's message.
struct Stop {
    std::string message;
};

// Rows of a table, either all of them or those the score filter kept.
template <typename T>
struct Rows {
    const Table<T>* table;
    const std::vector<std::size_t>* kept;  // null: every row

    std::size_t count() const { return kept ? kept->size() : table->rows; }
    T at(std::size_t row, std::size_t col = 0) const {
        return table->at(kept ? (*kept)[row] : row, col);
    }
};

struct Corners {
    float c0, c1, c2, c3;
};

// Later of equal values; any comparison that meets a NaN fails.
float row_max(const Table<float>& probabilities, std::size_t row) {
    if (probabilities.cols == 0) throw Stop{kUnwrapNone};
    float m = probabilities.at(row, 0);
    for (std::size_t col = 1; col < probabilities.cols; ++col) {
        const float x = probabilities.at(row, col);
        if (x >= m) {
            m = x;
        } else if (m >= x) {
        } else {
            throw Stop{kUnwrapNone};
        }
    }
    return m;
}

double area(const Corners& box) {
    const float height = box.c3 - box.c1;
    const float width = box.c2 - box.c0;
    const float product = height * width;
    return static_cast<double>(product);
}

double distance(const Corners& a, double area_a, const Corners& b, double area_b) {
    const float left = a.c0 > b.c0 ? a.c0 : b.c0;
    const float right = a.c2 < b.c2 ? a.c2 : b.c2;
    if (left > right) return 1.0;
    const float top = a.c1 > b.c1 ? a.c1 : b.c1;
    const float bottom = a.c3 < b.c3 ? a.c3 : b.c3;
    if (top > bottom) return 1.0;
    const float height = bottom - top;
    const float width = right - left;
    const float product = height * width;
    double intersection = static_cast<double>(product);
    const double smaller = area_a < area_b ? area_a : area_b;
    if (!(intersection < smaller)) intersection = smaller;
    const double sum = area_b + area_a;
    const double union_area = sum - intersection;
    const double denominator = union_area + 1e-16;
    const double ratio = intersection / denominator;
    return 1.0 - ratio;
}

float similarity(const Corners& a, double area_a, const Corners& b, double area_b) {
    const float narrowed = static_cast<float>(distance(a, area_a, b, area_b));
    return 1.0f - narrowed;
}

using Objects = std::vector<std::vector<std::size_t>>;

Objects group(const Rows<float>& boxes, float iou_threshold) {
    const std::size_t n = boxes.count();
    if (n > 0 && boxes.table->cols < 4) throw Stop{kIndexOutOfBounds};
    const unsigned __int128 elements = static_cast<unsigned __int128>(n) * n;
    constexpr auto kLargestSigned =
        static_cast<unsigned __int128>(std::numeric_limits<std::int64_t>::max());
    if (elements > kLargestSigned) throw Stop{kShapeTooLarge};
    if (elements * sizeof(double) > kLargestSigned) throw Stop{kCapacityOverflow};

    std::vector<Corners> corners(n);
    std::vector<double> areas(n);
    for (std::size_t i = 0; i < n; ++i) {
        corners[i] = Corners{boxes.at(i, 0), boxes.at(i, 1), boxes.at(i, 2), boxes.at(i, 3)};
        areas[i] = area(corners[i]);
    }
    Objects objects;
    for (std::size_t i = 0; i < n; ++i) {
        bool joined = false;
        for (auto& members : objects) {
            for (const std::size_t m : members) {
                if (similarity(corners[i], areas[i], corners[m], areas[m]) >= iou_threshold) {
                    members.push_back(i);
                    joined = true;
                    break;
                }
            }
            if (joined) break;
        }
        if (!joined) objects.push_back({i});
    }
    return objects;
}

float score_objects(const Objects& objects, const Rows<float>& uncertainty,
                    const Rows<std::int64_t>& scales) {
    if (scales.count() != uncertainty.count()) {
        throw Stop{"assertion `left == right` failed\n  left: " + std::to_string(scales.count()) +
                   "\n right: " + std::to_string(uncertainty.count())};
    }
    std::vector<std::int64_t> keys;
    for (std::size_t d = 0; d < scales.count(); ++d) {
        bool known = false;
        for (const std::int64_t key : keys) known = known || key == scales.at(d);
        if (!known) keys.push_back(scales.at(d));
    }

    // Every object is bucketed before any is summed, and every one summed
    // before any maximum is taken: that order decides which failure shows.
    std::vector<std::vector<std::vector<float>>> buckets;
    for (const auto& members : objects) {
        std::vector<std::vector<float>>& own = buckets.emplace_back(keys.size());
        for (const std::size_t d : members) {
            if (d >= scales.count()) throw Stop{kIndexOutOfBounds};
            std::size_t k = 0;
            while (keys[k] != scales.at(d)) ++k;
            if (d >= uncertainty.count()) throw Stop{kIndexOutOfBounds};
            own[k].push_back(uncertainty.at(d));
        }
    }
    std::vector<std::vector<float>> sums;
    for (const auto& own : buckets) {
        std::vector<float>& object_sums = sums.emplace_back();
        for (const auto& bucket : own) {
            float sum = +0.0f;
            for (const float value : bucket) sum = sum + value;
            object_sums.push_back(sum);
        }
    }
    std::vector<float> object_scores;
    for (const auto& object_sums : sums) {
        if (object_sums.empty()) throw Stop{kUnwrapNone};
        float largest = object_sums[0];
        for (std::size_t k = 1; k < object_sums.size(); ++k) {
            if (object_sums[k] >= largest) {
                largest = object_sums[k];
            } else if (largest >= object_sums[k]) {
            } else {
                throw Stop{kUnwrapNone};
            }
        }
        object_scores.push_back(largest);
    }
    float image = +0.0f;
    for (const float score : object_scores) image = image + score;
    return image;
}

float score(const FuzzCase& c) {
    Rows<float> boxes{&c.boxes, nullptr};
    Rows<float> uncertainty{&c.uncertainty, nullptr};
    Rows<std::int64_t> scales{&c.scales, nullptr};
    std::vector<std::size_t> kept;
    if (!(c.thresholds.score_threshold == 0.0f)) {
        std::vector<float> confidences;
        for (std::size_t row = 0; row < c.probabilities.rows; ++row) {
            confidences.push_back(row_max(c.probabilities, row));
        }
        for (std::size_t row = 0; row < confidences.size(); ++row) {
            if (confidences[row] >= c.thresholds.score_threshold) kept.push_back(row);
        }
        for (const std::size_t row : kept) {
            if (row >= c.boxes.rows) throw Stop{kIndexBelowDim};
        }
        const auto check_largest = [&](std::size_t length) {
            if (!kept.empty() && kept.back() >= length) {
                throw Stop{"ndarray: index " + std::to_string(kept.back()) +
                           " is out of bounds in array of len " + std::to_string(length)};
            }
        };
        check_largest(c.uncertainty.rows);
        check_largest(c.scales.rows);
        boxes.kept = uncertainty.kept = &kept;
        scales.kept = &kept;
    }
    const Objects objects = group(boxes, c.thresholds.iou_threshold);
    return score_objects(objects, uncertainty, scales);
}

}  // namespace

Outcome literal_score(const FuzzCase& fuzz_case) {
    try {
        return Outcome{false, score(fuzz_case), {}};
    } catch (const Stop& stop) {
        return Outcome{true, 0.0f, stop.message};
    }
}

}  // namespace kiv::fuzz
