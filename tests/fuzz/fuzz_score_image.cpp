// libFuzzer entry: the engine against the literal rule, bit for bit, on any
// bytes. A difference is reported on standard output (libFuzzer runs with
// standard error closed, since every failure of the engine writes a report
// there) and aborts, so that libFuzzer keeps the input.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "engine/engine.hpp"
#include "fuzz_case.hpp"
#include "literal_score.hpp"
#include "runtime/failure.hpp"

namespace kiv::fuzz {
namespace {

Outcome engine_score(const FuzzCase& fuzz_case) {
    const CaseViews views(fuzz_case);
    try {
        return Outcome{false,
                       score_image(fuzz_case.thresholds, views.boxes, views.probabilities,
                                   views.uncertainty, views.scales),
                       {}};
    } catch (const Failure& failure) {
        return Outcome{true, 0.0f, failure.message()};
    }
}

void print_outcome(const char* who, const Outcome& outcome) {
    if (outcome.failed) {
        std::printf("%s: failure \"%s\"\n", who, outcome.message.c_str());
    } else {
        std::printf("%s: %a (bits %08x)\n", who, static_cast<double>(outcome.score),
                    std::bit_cast<std::uint32_t>(outcome.score));
    }
}

// Bit for bit, except that any NaN equals any other: which of two NaN
// operands an addition passes on is left open by IEEE 754, and compilers
// swap the operands of an addition freely, so the payload and sign of a NaN
// score are no part of the result.
bool same(const Outcome& a, const Outcome& b) {
    if (a.failed != b.failed) return false;
    if (a.failed) return a.message == b.message;
    if (std::isnan(a.score) && std::isnan(b.score)) return true;
    return std::bit_cast<std::uint32_t>(a.score) == std::bit_cast<std::uint32_t>(b.score);
}

}  // namespace
}  // namespace kiv::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Grouping goes to the pool only with two workers or more; make sure it
    // can, whatever the machine.
    setenv("RAYON_NUM_THREADS", "2", 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kiv::fuzz;
    const FuzzCase fuzz_case = decode_case({data, size});
    const Outcome literal = literal_score(fuzz_case);
    const Outcome engine = engine_score(fuzz_case);
    if (!same(engine, literal)) {
        std::printf("engine and rule differ: iou_threshold %a, score_threshold %a, %zu boxes\n",
                    static_cast<double>(fuzz_case.thresholds.iou_threshold),
                    static_cast<double>(fuzz_case.thresholds.score_threshold),
                    fuzz_case.boxes.rows);
        print_outcome("engine", engine);
        print_outcome("rule", literal);
        std::fflush(stdout);
        std::abort();
    }
    return 0;
}
