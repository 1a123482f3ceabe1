// The fifty-mark progress bar on the console. One bar at a time, process-wide.
#pragma once

#include <cstdint>
#include <cstdio>

// The 55-byte scale line drawn above the marks.
inline constexpr char PROGRESS_SCALE[] = "--------20--------40--------60--------80-------100 [%]\n";

// Starts a bar whose 100 % is `total` (non-zero) on `console` and writes the scale.
void progress_start(std::FILE* console, std::uint32_t total);

// Draws marks up to floor(value * 50 / total), at most 50. Marks are never taken back.
// Does nothing before the first progress_start.
void progress_update(std::uint32_t value);
