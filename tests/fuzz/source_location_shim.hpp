// Clang 14, Debian 12's clang, lacks __builtin_source_location, so libstdc++
// 12 leaves std::source_location out. The fuzz build, the only one made with
// clang, includes this stand-in first; it is built on the builtins clang 14
// has and gives the same file, line and column.
#pragma once

#if defined(__clang__) && !__has_builtin(__builtin_source_location)
#include <cstdint>

namespace std {

struct source_location {
    static constexpr source_location current(const char* file = __builtin_FILE(),
                                             const char* function = __builtin_FUNCTION(),
                                             std::uint_least32_t line = __builtin_LINE(),
                                             std::uint_least32_t column = __builtin_COLUMN()) {
        source_location at;
        at.file_ = file;
        at.function_ = function;
        at.line_ = line;
        at.column_ = column;
        return at;
    }
    constexpr const char* file_name() const noexcept { return file_; }
    constexpr const char* function_name() const noexcept { return function_; }
    constexpr std::uint_least32_t line() const noexcept { return line_; }
    constexpr std::uint_least32_t column() const noexcept { return column_; }

private:
    const char* file_ = "";
    const char* function_ = "";
    std::uint_least32_t line_ = 0;
    std::uint_least32_t column_ = 0;
};

}  // namespace std
#endif
