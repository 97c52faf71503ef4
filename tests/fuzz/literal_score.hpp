// The scoring rule written out literally, for comparison with the engine:
// no index, no shortcut, nothing shared with the engine's code.
#pragma once

#include <string>

#include "fuzz_case.hpp"

namespace kiv::fuzz {

// The score, or the message of the first failure the rule meets.
struct Outcome {
    bool failed = false;
    float score = 0.0f;
    std::string message;
};

Outcome literal_score(const FuzzCase& fuzz_case);

}  // namespace kiv::fuzz
