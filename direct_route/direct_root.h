// The result of a run without a checkpoint file, computed directly with GMP instead of the
// series: the same digits and the same final term index that the series would reach.
//
// The series' digits are those of floor(sqrt(2) 10^(D-1)) unless the digits of sqrt(2) right
// after position D-1 are a long run of 0s or 9s (its guard digits then decide the last ones), so
// sqrt(2) is computed to 64 more digits, and a run of 32 0s or 9s right after the last digit sends
// the run back to the series.
#pragma once

#include <cstdint>

#include "numbers/progress_sink.h"

struct DirectRoot {
  std::uint32_t positions = 0;  // D
  std::uint32_t final_n = 0;    // the series' final next_n
  char* digit_chars = nullptr;  // the digits at positions 1 .. D-1 as characters '0' .. '9'
};

// The route's modelled peak of memory for `positions` digit positions: its arena (reserved whole,
// with room to spare) and the digits' characters, with GMP's products alone; where more memory is
// there, the route takes the FFT's too, and is quicker.
double direct_root_peak_bytes(std::uint32_t positions);

// Takes the route for `positions` digit positions (1 <= positions < POSITION_COUNT_BOUND) when
// it can: its peak, with the FFT's products or else with GMP's alone, is within `memory_room`
// bytes, the final term index is decided and the memory for the route is there. Returns false,
// holding nothing, otherwise; another route must then run.
bool start_direct_root(std::uint32_t positions, std::uint64_t memory_room, DirectRoot* root);

// Computes the digits of a started route on `threads` threads (0 for as many as the hardware
// has), reporting progress towards `progress_total`. Returns false, holding nothing, when the
// digits could differ from the series' or memory ran short after all; the series must then be run.
bool compute_direct_root(DirectRoot* root, const ProgressSink& progress,
                         std::uint32_t progress_total, unsigned threads = 0);

void release_direct_root(DirectRoot* root);
