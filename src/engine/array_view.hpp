// Read-only views of the caller's arrays, as the boundary hands them over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kiv {

// A one-axis array of T. The stride is in bytes and may be negative or zero;
// elements need not be aligned, so they are read with memcpy.
template <typename T>
struct View1 {
    const char* data = nullptr;
    std::size_t length = 0;
    std::ptrdiff_t stride = 0;

    T operator[](std::size_t i) const {
        T value;
        std::memcpy(&value, data + static_cast<std::ptrdiff_t>(i) * stride, sizeof value);
        return value;
    }
};

// A two-axis array of T, rows along axis 0; strides in bytes, any sign.
template <typename T>
struct View2 {
    const char* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 0;

    T operator()(std::size_t r, std::size_t c) const {
        T value;
        std::memcpy(&value,
                    data + static_cast<std::ptrdiff_t>(r) * row_stride +
                        static_cast<std::ptrdiff_t>(c) * col_stride,
                    sizeof value);
        return value;
    }
};

}  // namespace kiv
