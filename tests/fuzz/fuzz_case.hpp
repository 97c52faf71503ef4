// One scoring call decoded from the fuzzer's bytes: the thresholds, the four
// arrays as the caller means them, and the memory layout each is handed over in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/array_view.hpp"
#include "engine/engine.hpp"

namespace kiv::fuzz {

// rows x cols values in row order. A repeated table stores one row that
// stands for every row, as a broadcast array does; that is also how a table
// claims far more rows than memory holds.
template <typename T>
struct Table {
    std::size_t rows = 0;
    std::size_t cols = 0;
    bool repeated = false;
    std::vector<T> values;

    T at(std::size_t row, std::size_t col) const {
        return values[(repeated ? 0 : row) * cols + col];
    }
};

// How an array's elements lie in memory; a repeated table always lies with
// a row stride of zero.
enum class Layout : std::uint8_t {
    kRowMajor,
    kReversedRows,  // negative row stride
    kColumnMajor,   // with a gap after every column; one-axis arrays: every third element
};

struct FuzzCase {
    Thresholds thresholds{};
    Table<float> boxes;
    Table<float> probabilities;
    Table<float> uncertainty;    // one column
    Table<std::int64_t> scales;  // one column
    Layout layouts[4] = {};      // in argument order
    bool unaligned = false;      // every array starts one byte past alignment
};

// Decodes any bytes into a case; the format is described in fuzz_case.cpp
// and written by make_corpus.py.
FuzzCase decode_case(std::span<const std::uint8_t> bytes);

// The views the engine gets, over memory of their own.
class CaseViews {
    // Declared first: the views below are built into it.
    std::vector<std::vector<unsigned char>> memory_;

public:
    explicit CaseViews(const FuzzCase& fuzz_case);

    View2<float> boxes;
    View2<float> probabilities;
    View1<float> uncertainty;
    View1<std::int64_t> scales;
};

}  // namespace kiv::fuzz
