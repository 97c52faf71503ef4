// The instance record shared by KivRs and KIV.
#pragma once

#include <cstdint>

#include "engine/engine.hpp"
#include "lib/py_ref.hpp"

namespace kiv {

// KivRs owns the fields and KIV adds none, so one record serves both.
struct KivObject {
    PyObject ob_base;  // PyObject_HEAD
    float iou_threshold;
    float score_threshold;
    // 0 between calls; raised by one while a call of `run` uses the instance.
    std::int64_t borrow_count;

    Thresholds thresholds() const { return Thresholds{iou_threshold, score_threshold}; }
};

// A shared hold on an instance for the length of one call. Holds nest: Python
// code run inside a call (e.g. while an error message is built) may call
// `run` again on the same instance.
class SharedHold {
public:
    explicit SharedHold(KivObject& object) noexcept : object_(object) { ++object_.borrow_count; }
    ~SharedHold() { --object_.borrow_count; }
    SharedHold(const SharedHold&) = delete;
    SharedHold& operator=(const SharedHold&) = delete;

private:
    KivObject& object_;
};

}  // namespace kiv
