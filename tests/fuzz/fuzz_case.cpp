// Decoding of the fuzzer's bytes. Every byte string is a valid case; bytes
// past the end read as zero. In order:
//
//   iou, score    threshold codes: below 0xF0 an entry of kThresholds (modulo
//                 its size), otherwise four bytes of float32 follow
//   size          detection count n: below 0xE0 the byte modulo 64; below
//                 0xF0, 64 + 32 * (byte - 0xE0) + (next byte & 31); below 0xFF,
//                 the next two bytes modulo 4097; 0xFF: 8192 + next two modulo
//                 1024 (large counts are rare, as they are slow to check)
//   shape         bits 0-2 pick the box columns, bits 3-5 the probability
//                 columns (kBoxColumns, kProbabilityColumns)
//   lengths       from 0xC0: one array (bits 0-1, in the order probabilities,
//                 boxes, uncertainty, scales) gets n + (bits 2-4) - 4 rows
//   layout        two bits per array in argument order, lowest first: row
//                 major, reversed rows, column major, repeated (stride 0)
//   misc          bit 0: every array starts off alignment; bit 1: the boxes
//                 claim kClaimedRows[bits 2-3] rows through a zero stride
//   seed          eight bytes for the generated arrays
//   modes         per array in argument order one byte: 0 reads the values
//                 from the input; anything else generates them (boxes read
//                 six more parameter bytes right after their mode)
//   values        for each array read from the input, its stored values in
//                 row order, one value code each (decode_value)
//   patches       to the end: target byte (bits 0-1 the array in argument
//                 order, the rest the column), two bytes of row, a value code
#include "fuzz_case.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

namespace kiv::fuzz {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kTiny = std::numeric_limits<float>::denorm_min();
constexpr float kMin = std::numeric_limits<float>::min();
constexpr float kMax = std::numeric_limits<float>::max();
constexpr float kBelowHalf = 0.49999997f;
constexpr float kAboveHalf = 0.50000006f;
constexpr float kBelowOne = 0.99999994f;
constexpr float kAboveOne = 1.00000012f;

constexpr float kThresholds[] = {
    0.5f,      0.0f,  -0.0f, kTiny, kBelowHalf, kAboveHalf, 1.0f,  kBelowOne,
    kAboveOne, kNaN,  0.3f,  0.1f,  1.0f / 3,   0.36f,      0.2f,  0.9f,
    0.05f,     -0.5f, kInf,  0.7f,  1e-6f,      2.0f,       -kInf, 0.999f,
};

constexpr float kSpecialValues[] = {
    kNaN,        -kNaN,       kInf,     -kInf, 0.0f,       -0.0f,      kTiny,     -kTiny,
    kMin,        -kMin,       kMax,     -kMax, 1e30f,      -1e30f,     1e-30f,    3e38f,
    16777216.0f, 16777218.0f, 1e8f,     -1e8f, kBelowHalf, kAboveHalf, kBelowOne, kAboveOne,
    0.1f,        0.3f,        1.0f / 3, 0.36f, 1e-8f,      5e-5f,      1e-4f,     1e15f,
};

constexpr std::int64_t kLargest = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kSmallest = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kFar = std::int64_t{1} << 40;
constexpr std::int64_t kScaleValues[] = {
    0, 1,    2,     3,   -1, -2,           kLargest,      kSmallest,
    7, kFar, -kFar, 100, 5,  kLargest - 1, kSmallest + 1, 42};

constexpr std::size_t kBoxColumns[] = {4, 4, 4, 4, 5, 7, 3, 0};
constexpr std::size_t kProbabilityColumns[] = {1, 2, 3, 4, 8, 9, 0, 17};
// Enough that the pairwise limits fail: the byte count, the byte count just
// below the element count's limit, and the element count twice.
constexpr std::size_t kClaimedRows[] = {std::size_t{1} << 30, 3037000499u, 3037000500u,
                                        std::size_t{1} << 32};

enum class Kind { kCoordinate, kProbability, kUncertainty };

class ByteReader {
public:
    explicit ByteReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    bool empty() const { return bytes_.empty(); }
    std::uint8_t u8() {
        if (bytes_.empty()) return 0;
        const std::uint8_t value = bytes_.front();
        bytes_ = bytes_.subspan(1);
        return value;
    }
    std::uint16_t u16() {
        const std::uint16_t low = u8();
        return static_cast<std::uint16_t>(low | (u8() << 8));
    }
    std::uint32_t u32() {
        const std::uint32_t low = u16();
        return low | (static_cast<std::uint32_t>(u16()) << 16);
    }
    std::uint64_t u64() {
        const std::uint64_t low = u32();
        return low | (static_cast<std::uint64_t>(u32()) << 32);
    }
    float f32() { return std::bit_cast<float>(u32()); }

private:
    std::span<const std::uint8_t> bytes_;
};

// splitmix64: small, and the same stream on every platform.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}

    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15u);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
        return z ^ (z >> 31);
    }
    // In [0, 1).
    double unit() { return static_cast<double>(next() >> 11) * 0x1p-53; }
    // In [-1, 1).
    double signed_unit() { return 2.0 * unit() - 1.0; }
    std::size_t below(std::size_t bound) { return static_cast<std::size_t>(next() % bound); }
    bool chance(double probability) { return unit() < probability; }

private:
    std::uint64_t state_;
};

template <typename T, std::size_t N>
T pick(const T (&table)[N], std::size_t code) {
    return table[code % N];
}

float decode_threshold(ByteReader& in) {
    const std::uint8_t code = in.u8();
    return code >= 0xF0 ? in.f32() : pick(kThresholds, code);
}

float decode_value(ByteReader& in, Kind kind) {
    const std::uint8_t code = in.u8();
    if (code == 0xFF) return in.f32();
    if (code >= 0xC0) return pick(kSpecialValues, code - 0xC0u);
    switch (kind) {
        case Kind::kCoordinate:
            return static_cast<float>(static_cast<int>(code) - 0x40);
        case Kind::kProbability:
            return static_cast<float>(code) / 128.0f;
        case Kind::kUncertainty:
            return static_cast<float>(static_cast<int>(code) - 0x60) / 16.0f;
    }
    return 0.0f;
}

std::size_t decode_count(ByteReader& in) {
    const std::uint8_t size = in.u8();
    if (size < 0xE0) return size % 64u;
    if (size < 0xF0) return 64 + 32 * std::size_t{size - 0xE0u} + (in.u8() & 31u);
    if (size < 0xFF) return in.u16() % 4097u;
    return 8192 + in.u16() % 1024u;
}

template <typename T>
void shape(Table<T>& table, std::size_t rows, std::size_t cols, bool repeated) {
    table.rows = rows;
    table.cols = cols;
    table.repeated = repeated;
    table.values.assign((repeated ? std::min<std::size_t>(rows, 1) : rows) * cols, T{});
}

std::size_t stored_rows(const Table<float>& table) {
    return table.cols == 0 ? 0 : table.values.size() / table.cols;
}

// Boxes in clusters (or each apart) over many sizes: a typical size, a
// spread of sizes around it, a jitter within a cluster and a world around
// the clusters, optionally on whole numbers (touching and identical boxes),
// with copies of earlier boxes, inverted boxes and special values.
void generate_boxes(ByteReader& in, Random& random, Table<float>& boxes) {
    std::uint8_t p[6];
    for (auto& byte : p) byte = in.u8();
    const bool apart = p[0] >= 0xC0;
    const std::size_t clusters = 1 + p[0] % 64u;
    const double size = std::exp2(static_cast<std::int8_t>(p[1]) / 4.0);
    const double size_spread = (p[2] % 64u) / 8.0;
    const double jitter = (p[3] % 64u) / 32.0;
    const double world = std::exp2(p[4] % 32u);
    const bool whole = p[5] & 1u, copies = p[5] & 2u, inverted = p[5] & 4u, aspect = p[5] & 8u;
    const double special_rate = (p[5] >> 4) / 256.0;

    std::vector<double> centres(2 * clusters);
    for (double& centre : centres) centre = random.signed_unit() * world * size;
    const std::size_t rows = stored_rows(boxes);
    for (std::size_t r = 0; r < rows; ++r) {
        float* row = boxes.values.data() + r * boxes.cols;
        if (copies && r > 0 && random.chance(0.25)) {
            std::copy_n(boxes.values.data() + random.below(r) * boxes.cols, boxes.cols, row);
            continue;
        }
        const double width = size * std::exp2(random.signed_unit() * size_spread);
        const double height = aspect ? size * std::exp2(random.signed_unit() * size_spread) : width;
        const std::size_t c = random.below(clusters);
        const double cx = apart ? random.signed_unit() * world * size : centres[2 * c];
        const double cy = apart ? random.signed_unit() * world * size : centres[2 * c + 1];
        double x0 = cx + random.signed_unit() * jitter * width;
        double y0 = cy + random.signed_unit() * jitter * height;
        double x1 = x0 + width, y1 = y0 + height;
        if (whole) {
            x0 = std::round(x0), y0 = std::round(y0), x1 = std::round(x1), y1 = std::round(y1);
        }
        if (inverted && random.chance(1.0 / 16)) std::swap(x0, x1);
        if (inverted && random.chance(1.0 / 16)) std::swap(y0, y1);
        const double corners[4] = {x0, y0, x1, y1};
        for (std::size_t col = 0; col < boxes.cols; ++col) {
            row[col] = col < 4 ? static_cast<float>(corners[col])
                               : static_cast<float>(random.signed_unit() * world);
        }
        if (random.chance(special_rate)) {
            row[random.below(boxes.cols)] = pick(kSpecialValues, random.below(64));
        }
    }
}

// Confidences on sixteenths (ties with the thresholds), or anywhere in
// [0, 1), with a NaN now and then.
void generate_probabilities(std::uint8_t mode, Random& random, Table<float>& probabilities) {
    const double nan_rate = (mode >> 4) / 1024.0;
    for (float& value : probabilities.values) {
        const double u = random.unit();
        value = mode & 2u ? static_cast<float>(u) : static_cast<float>(std::floor(u * 17) / 16);
        if (mode & 4u) value = pick(kThresholds, random.below(64));
        if (random.chance(nan_rate)) value = kNaN;
    }
}

// Values that sum without rounding, values that cancel, and special values.
void generate_uncertainty(std::uint8_t mode, Random& random, Table<float>& uncertainty) {
    static constexpr float kLarge[] = {1e8f, -1e8f, 1.0f, 16777216.0f, -16777216.0f, 0.5f, -0.0f};
    const double special_rate = (mode >> 4) / 256.0;
    for (float& value : uncertainty.values) {
        switch (mode & 3u) {
            case 0:
                value = static_cast<float>(random.unit());
                break;
            case 1:
                value = static_cast<float>(random.signed_unit());
                break;
            case 2:
                value = std::ldexp(random.chance(0.5) ? 1.0f : -1.0f,
                                   static_cast<int>(random.below(49)) - 24);
                break;
            default:
                value = pick(kLarge, random.below(64));
                break;
        }
        if (random.chance(special_rate)) value = pick(kSpecialValues, random.below(64));
    }
}

// A few distinct labels, from anywhere in the int64 range.
void generate_scales(std::uint8_t mode, Random& random, Table<std::int64_t>& scales) {
    const std::size_t distinct = 1 + mode % 4u;
    const std::size_t first = (mode >> 2) % 16u;
    for (std::int64_t& value : scales.values) {
        value = pick(kScaleValues, first + random.below(distinct));
    }
}

void apply_patches(ByteReader& in, FuzzCase& c) {
    while (!in.empty()) {
        const std::uint8_t target = in.u8();
        const std::uint16_t row = in.u16();
        const std::size_t col = target >> 2;
        const auto patch = [&](auto& table, auto value) {
            if (table.values.empty()) return;
            const std::size_t rows = table.values.size() / table.cols;
            table.values[(row % rows) * table.cols + col % table.cols] = value;
        };
        switch (target & 3u) {
            case 0:
                patch(c.boxes, decode_value(in, Kind::kCoordinate));
                break;
            case 1:
                patch(c.probabilities, decode_value(in, Kind::kProbability));
                break;
            case 2:
                patch(c.uncertainty, decode_value(in, Kind::kUncertainty));
                break;
            default:
                patch(c.scales, pick(kScaleValues, in.u8()));
                break;
        }
    }
}

// The bytes behind a view of `table` laid out as `layout`; `data` is set to
// element (0, 0). `columns_apart` is the distance of neighbouring columns in
// a column-major one-axis array, which keeps every third element.
template <typename T>
std::vector<unsigned char> lay_out(const Table<T>& table, Layout layout, bool unaligned,
                                   const char*& data, std::ptrdiff_t& row_stride,
                                   std::ptrdiff_t& col_stride) {
    constexpr auto size = static_cast<std::ptrdiff_t>(sizeof(T));
    const auto rows = static_cast<std::ptrdiff_t>(table.repeated ? 0 : table.rows);
    const auto cols = static_cast<std::ptrdiff_t>(table.cols);
    const std::ptrdiff_t offset = unaligned ? 1 : 0;
    std::ptrdiff_t start = 0;
    std::size_t elements = table.values.size();
    if (table.repeated) {
        row_stride = 0;
        col_stride = size;
    } else if (layout == Layout::kReversedRows) {
        row_stride = -cols * size;
        col_stride = size;
        start = rows > 0 ? (rows - 1) * cols * size : 0;
    } else if (layout == Layout::kColumnMajor && cols == 1) {
        row_stride = 3 * size;
        col_stride = size;
        elements = 3 * table.values.size();
    } else if (layout == Layout::kColumnMajor) {
        row_stride = size;
        col_stride = (rows + 1) * size;
        elements = static_cast<std::size_t>((rows + 1) * cols);
    } else {
        row_stride = cols * size;
        col_stride = size;
    }
    std::vector<unsigned char> memory(elements * sizeof(T) + static_cast<std::size_t>(offset) + 1);
    unsigned char* origin = memory.data() + offset + start;
    const std::size_t stored = table.cols == 0 ? 0 : table.values.size() / table.cols;
    for (std::size_t r = 0; r < stored; ++r) {
        for (std::size_t c = 0; c < table.cols; ++c) {
            const T value = table.values[r * table.cols + c];
            std::memcpy(origin + static_cast<std::ptrdiff_t>(r) * row_stride +
                            static_cast<std::ptrdiff_t>(c) * col_stride,
                        &value, sizeof value);
        }
    }
    data = reinterpret_cast<const char*>(origin);
    return memory;
}

template <typename T>
View2<T> view2(const Table<T>& table, Layout layout, bool unaligned,
               std::vector<std::vector<unsigned char>>& memory) {
    View2<T> view{nullptr, table.rows, table.cols, 0, 0};
    memory.push_back(
        lay_out(table, layout, unaligned, view.data, view.row_stride, view.col_stride));
    return view;
}

template <typename T>
View1<T> view1(const Table<T>& table, Layout layout, bool unaligned,
               std::vector<std::vector<unsigned char>>& memory) {
    View1<T> view{nullptr, table.rows, 0};
    std::ptrdiff_t unused = 0;
    memory.push_back(lay_out(table, layout, unaligned, view.data, view.stride, unused));
    return view;
}

}  // namespace

FuzzCase decode_case(std::span<const std::uint8_t> bytes) {
    ByteReader in(bytes);
    FuzzCase c;
    c.thresholds.iou_threshold = decode_threshold(in);
    c.thresholds.score_threshold = decode_threshold(in);
    const std::size_t n = decode_count(in);
    const std::uint8_t shape_code = in.u8();
    const std::uint8_t lengths_code = in.u8();
    const std::uint8_t layout_code = in.u8();
    const std::uint8_t misc = in.u8();

    std::size_t rows[4] = {n, n, n, n};  // probabilities, boxes, uncertainty, scales
    if (lengths_code >= 0xC0) {
        const std::size_t moved = n + ((lengths_code >> 2) & 7u);
        rows[lengths_code & 3u] = moved >= 4 ? moved - 4 : 0;
    }
    for (std::size_t k = 0; k < 4; ++k)
        c.layouts[k] = static_cast<Layout>((layout_code >> (2 * k)) & 3u);
    const auto repeated = [&](std::size_t k) { return ((layout_code >> (2 * k)) & 3u) == 3u; };
    c.unaligned = misc & 1u;
    const bool claimed = misc & 2u;

    shape(c.boxes, claimed ? pick(kClaimedRows, misc >> 2) : rows[1], pick(kBoxColumns, shape_code),
          claimed || repeated(0));
    shape(c.probabilities, rows[0], pick(kProbabilityColumns, shape_code >> 3), repeated(1));
    shape(c.uncertainty, rows[2], 1, repeated(2));
    shape(c.scales, rows[3], 1, repeated(3));

    const std::uint64_t seed = in.u64();
    const std::uint8_t box_mode = in.u8();
    Random box_random(seed);
    if (box_mode != 0) generate_boxes(in, box_random, c.boxes);
    const std::uint8_t modes[3] = {in.u8(), in.u8(), in.u8()};
    Random random(seed ^ 0x5eed);
    if (modes[0] != 0) generate_probabilities(modes[0], random, c.probabilities);
    if (modes[1] != 0) generate_uncertainty(modes[1], random, c.uncertainty);
    if (modes[2] != 0) generate_scales(modes[2], random, c.scales);

    if (box_mode == 0) {
        for (float& value : c.boxes.values) value = decode_value(in, Kind::kCoordinate);
    }
    if (modes[0] == 0) {
        for (float& value : c.probabilities.values) value = decode_value(in, Kind::kProbability);
    }
    if (modes[1] == 0) {
        for (float& value : c.uncertainty.values) value = decode_value(in, Kind::kUncertainty);
    }
    if (modes[2] == 0) {
        for (std::int64_t& value : c.scales.values) value = pick(kScaleValues, in.u8());
    }
    apply_patches(in, c);
    return c;
}

CaseViews::CaseViews(const FuzzCase& c)
    : boxes(view2(c.boxes, c.layouts[0], c.unaligned, memory_)),
      probabilities(view2(c.probabilities, c.layouts[1], c.unaligned, memory_)),
      uncertainty(view1(c.uncertainty, c.layouts[2], c.unaligned, memory_)),
      scales(view1(c.scales, c.layouts[3], c.unaligned, memory_)) {}

}  // namespace kiv::fuzz
