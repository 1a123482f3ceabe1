// The report of the accumulated computing time, in days, hours, minutes and seconds.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string_view>

// The words written after each amount, in the console's encoding.
struct TimeUnits {
  std::string_view days, hours, minutes, seconds;
};

// Writes the time `elapsed_ms` to `console` and ends the line, e.g. "1時間2分3秒004". A unit is
// written when the whole total reaches it, and every smaller unit follows it, even when zero.
void report_elapsed(std::FILE* console, std::uint64_t elapsed_ms, const TimeUnits& units);
