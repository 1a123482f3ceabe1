// Two parts of the direct route on their own, for the route and its tests.
#pragma once

#include <cstdint>

// Digits checked after the last wanted one; the route computes more than these.
inline constexpr std::uint32_t CHECKED_DIGITS = 32;

// True when the CHECKED_DIGITS characters from `after_last` are all '0' or all '9': the series'
// guard digits may then make its last digits differ from these.
bool digits_leave_the_series_open(const char* after_last);

// The first `places` digits of sqrt(2) after the point into chars[0 .. places), the plain way:
// floor(sqrt(2 10^(2 places))) converted whole. `chars` has room for places + 2 characters.
void plain_root_digits(std::uint64_t places, char* chars);
