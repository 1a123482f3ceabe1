// Digit counts. A request names the digits wanted after the point; everything below the command
// line counts digit positions instead, the units digit included: position 0 is the 1 before the
// point, positions 1 .. N the requested digits.
#pragma once

#include <cstdint>

// Position counts stay below 2^31, so that a position is a signed 32-bit value and a count plus 8
// is still exact in unsigned 32-bit arithmetic.
inline constexpr std::uint32_t POSITION_COUNT_BOUND = 0x80000000u;

// The largest request whose position count stays below the bound.
inline constexpr std::uint32_t MAX_REQUESTED_DIGITS = POSITION_COUNT_BOUND - 2;

// The position count of a request for `requested_digits` digits after the point.
// Requires requested_digits <= MAX_REQUESTED_DIGITS.
constexpr std::uint32_t positions_for_request(std::uint32_t requested_digits) {
  return requested_digits + 1;
}
