#include "pool/worker_count.hpp"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace kiv::pool {

std::optional<std::uint64_t> parse_thread_count(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (__builtin_mul_overflow(value, std::uint64_t{10}, &value) ||
            __builtin_add_overflow(value, digit, &value)) {
            return std::nullopt;
        }
    }
    return value;
}

std::size_t available_processors() {
    // sched_getaffinity counts the processors this process may actually run on
    // (taskset, cpusets), where the reference asked for every logical processor.
    // The mask grows until the kernel's own mask fits in it.
    for (std::size_t cpus = 1024; cpus <= (std::size_t{1} << 22); cpus *= 2) {
        const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
        std::vector<unsigned long> mask((bytes + sizeof(unsigned long) - 1) /
                                        sizeof(unsigned long));
        auto* set = reinterpret_cast<cpu_set_t*>(mask.data());
        if (sched_getaffinity(0, bytes, set) == 0) {
            return static_cast<std::size_t>(CPU_COUNT_S(bytes, set));
        }
        if (errno != EINVAL) return 0;
    }
    return 0;
}

std::size_t worker_count(EnvReader read_env, ProcessorCounter count_processors) {
    auto number_in = [read_env](const char* name) -> std::optional<std::uint64_t> {
        // getenv hands back the raw bytes; bytes that are not text fail the
        // digit check just as text that is not a number does.
        const char* value = read_env(name);
        if (value == nullptr) return std::nullopt;
        return parse_thread_count(value);
    };

    std::uint64_t count = 0;
    if (const auto threads = number_in("RAYON_NUM_THREADS")) {
        count = *threads;
    } else if (const auto cpus = number_in("RAYON_RS_NUM_CPUS"); cpus && *cpus > 0) {
        count = *cpus;
    }
    if (count == 0) count = std::max<std::size_t>(count_processors(), 1);
    return static_cast<std::size_t>(std::min<std::uint64_t>(count, kMaxWorkers));
}

}  // namespace kiv::pool
