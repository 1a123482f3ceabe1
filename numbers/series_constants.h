// The constants of the series sqrt(2) = (11482 / 8119) * sqrt(1 - 1/65918162),
// which holds because 11482^2 = 2 * 8119^2 + 2.
#pragma once

#include <cstdint>

inline constexpr std::uint32_t SERIES_X_DENOMINATOR = 65918162u;  // x = 1 / 65918162
inline constexpr std::uint32_t FIRST_TERM_DIVISOR = 131836324u;   // t_1 = x / 2
inline constexpr std::uint32_t SCALE_NUMERATOR = 11482u;
inline constexpr std::uint32_t SCALE_DENOMINATOR = 8119u;
// The last index n whose successor term is formed; 2n + 2 still fits in 32 bits beyond it.
inline constexpr std::uint32_t LAST_SERIES_INDEX = 499999998u;
