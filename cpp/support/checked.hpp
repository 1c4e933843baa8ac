// Overflow-checked 64-bit arithmetic for coordinates and cursors. Plain
// comparisons against the limits, so every compiler we build with (GCC,
// Clang, MSVC) gets the same code and no overflow is ever evaluated.
#pragma once

#include <cstdint>
#include <limits>

namespace qv {

// `*out = a + b` when the sum fits; false (and *out untouched) otherwise.
inline bool checked_add(std::int64_t a, std::int64_t b, std::int64_t *out) noexcept {
    constexpr std::int64_t hi = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t lo = std::numeric_limits<std::int64_t>::min();
    if ((b > 0 && a > hi - b) || (b < 0 && a < lo - b)) return false;
    *out = a + b;
    return true;
}

// `*out = a * b` when the product fits; false (and *out untouched) otherwise.
inline bool checked_mul(std::int64_t a, std::int64_t b, std::int64_t *out) noexcept {
    constexpr std::int64_t hi = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t lo = std::numeric_limits<std::int64_t>::min();
    if (a != 0 && b != 0) {
        // Division truncates toward zero, which makes each bound exact.
        if (a > 0) {
            if (b > 0 ? a > hi / b : b < lo / a) return false;
        } else {
            if (b > 0 ? a < lo / b : a < hi / b) return false;
        }
    }
    *out = a * b;
    return true;
}

}  // namespace qv
