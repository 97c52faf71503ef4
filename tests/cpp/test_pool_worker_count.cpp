// Sizing the pool from RAYON_NUM_THREADS, RAYON_RS_NUM_CPUS and the processor count.
#include <gtest/gtest.h>
#include <sched.h>

#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <string>

#include "pool/worker_count.hpp"

namespace kiv::pool {
namespace {

struct ParseCase {
    const char* text;
    std::optional<std::uint64_t> expected;
};

void PrintTo(const ParseCase& c, std::ostream* out) { *out << '"' << c.text << '"'; }

class ParseThreadCount : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseThreadCount, AcceptsOnlyAnOptionalPlusAndDigits) {
    EXPECT_EQ(parse_thread_count(GetParam().text), GetParam().expected)
        << '"' << GetParam().text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseThreadCount,
    testing::Values(ParseCase{"3", 3}, ParseCase{"+3", 3}, ParseCase{"0", 0}, ParseCase{"007", 7},
                    ParseCase{"18446744073709551615", UINT64_MAX},
                    ParseCase{"18446744073709551616", std::nullopt},
                    ParseCase{"99999999999999999999", std::nullopt}, ParseCase{"", std::nullopt},
                    ParseCase{"+", std::nullopt}, ParseCase{"++3", std::nullopt},
                    ParseCase{"-3", std::nullopt}, ParseCase{" 3", std::nullopt},
                    ParseCase{"3 ", std::nullopt}, ParseCase{"x", std::nullopt},
                    ParseCase{"3x", std::nullopt}, ParseCase{"0x10", std::nullopt},
                    ParseCase{"\xef\xbc\x93", std::nullopt}),  // a full-width digit three
    [](const auto& info) { return "Case" + std::to_string(info.index); });

// A fake environment: what each name holds (absent means unset), and which
// names were read.
std::map<std::string, std::string> g_env;
std::set<std::string> g_read;
std::size_t g_processors = 0;

const char* fake_getenv(const char* name) {
    g_read.insert(name);
    const auto it = g_env.find(name);
    return it == g_env.end() ? nullptr : it->second.c_str();
}

std::size_t fake_processors() { return g_processors; }

struct CountCase {
    std::optional<std::string> num_threads;
    std::optional<std::string> rs_num_cpus;
    std::size_t processors;
    std::size_t expected;
};

void PrintTo(const CountCase& c, std::ostream* out) {
    *out << "RAYON_NUM_THREADS=" << (c.num_threads ? '"' + *c.num_threads + '"' : "unset")
         << " RAYON_RS_NUM_CPUS=" << (c.rs_num_cpus ? '"' + *c.rs_num_cpus + '"' : "unset")
         << " processors=" << c.processors;
}

class WorkerCount : public testing::TestWithParam<CountCase> {};

TEST_P(WorkerCount, FollowsThePrecedenceOfTheTwoVariables) {
    const CountCase& c = GetParam();
    g_env.clear();
    g_read.clear();
    if (c.num_threads) g_env["RAYON_NUM_THREADS"] = *c.num_threads;
    if (c.rs_num_cpus) g_env["RAYON_RS_NUM_CPUS"] = *c.rs_num_cpus;
    g_processors = c.processors;
    EXPECT_EQ(worker_count(&fake_getenv, &fake_processors), c.expected);
    // A number in RAYON_NUM_THREADS, 0 included, settles it alone.
    if (c.num_threads && parse_thread_count(*c.num_threads)) {
        EXPECT_EQ(g_read.count("RAYON_RS_NUM_CPUS"), 0u);
    }
}

const std::optional<std::string> kUnset;

INSTANTIATE_TEST_SUITE_P(
    Table, WorkerCount,
    testing::Values(
        CountCase{"3", "2", 5, 3}, CountCase{"+3", "2", 5, 3}, CountCase{"+3", kUnset, 5, 3},
        CountCase{"0", "2", 5, 5},  // 0 means the processor count, not RAYON_RS_NUM_CPUS
        CountCase{"x", "2", 5, 2}, CountCase{"", "2", 5, 2}, CountCase{" 3", "2", 5, 2},
        CountCase{"-3", "2", 5, 2}, CountCase{"18446744073709551616", "2", 5, 2},
        CountCase{kUnset, "2", 5, 2}, CountCase{kUnset, "+4", 5, 4}, CountCase{kUnset, "0", 5, 5},
        CountCase{kUnset, "x", 5, 5}, CountCase{kUnset, kUnset, 5, 5}, CountCase{"x", "y", 7, 7},
        CountCase{kUnset, kUnset, 0, 1},  // the processor query failed
        CountCase{"0", kUnset, 0, 1}, CountCase{"100000", kUnset, 5, 65535},
        CountCase{kUnset, "100000", 5, 65535}, CountCase{"65535", kUnset, 5, 65535},
        CountCase{"18446744073709551615", kUnset, 5, 65535}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

TEST(AvailableProcessors, CountsOnlyTheProcessorsWeMayRunOn) {
    // The mask is per thread; narrow this thread's to one processor and back.
    cpu_set_t saved;
    ASSERT_EQ(sched_getaffinity(0, sizeof saved, &saved), 0);
    EXPECT_EQ(available_processors(), static_cast<std::size_t>(CPU_COUNT(&saved)));
    int first = 0;
    while (!CPU_ISSET(first, &saved)) ++first;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(first, &one);
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    EXPECT_EQ(available_processors(), 1u);
    ASSERT_EQ(sched_setaffinity(0, sizeof saved, &saved), 0);
}

}  // namespace
}  // namespace kiv::pool
