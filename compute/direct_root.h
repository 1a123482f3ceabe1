// The result of a run without a checkpoint file, computed directly with GMP instead of the
// series: the same digits and the same final term index that the series would reach.
//
// The series' digits are those of floor(sqrt(2) 10^(D-1)) unless the digits of sqrt(2) right
// after position D-1 are a long run of 0s or 9s (its guard digits then decide the last ones), so
// sqrt(2) is computed to 64 more digits, and a run of 32 0s or 9s right after the last digit sends
// the run back to the series.
#pragma once

#include <cstdint>

#include "compute/term_count.h"

struct DirectRootHooks {
  // Tests only:
  bool pretend_ambiguous_digits = false;  // act as if a run of 9s followed the digits
  bool pretend_doubtful_conversion = false;  // act as if a piece's digits were in doubt
  unsigned threads = 0;                      // 1 or 2; 0 for as many as the hardware has
  TermCountHooks term_count;
};

struct DirectRoot {
  char* digit_chars = nullptr;  // the digits at positions 1 .. D-1 as characters '0' .. '9'
  std::uint32_t final_n = 0;    // the series' final next_n
};

// Computes the result for `digits` positions (1 <= digits < 2^31), advancing the current progress
// bar towards `bar_total`. Returns false, holding nothing, when the result could differ from the
// series' or the memory for it is not to be had; the series must then be run.
bool compute_direct_root(std::uint32_t digits, std::uint32_t bar_total, DirectRoot* result,
                         const DirectRootHooks& hooks = {});

void release_direct_root(DirectRoot* result);
