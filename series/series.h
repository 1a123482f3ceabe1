// The series loop that subtracts the terms of sqrt(1 - x) from 1.0, and the final scaling to
// sqrt(2).
#pragma once

#include <cstdint>

#include "numbers/calc_state.h"
#include "numbers/progress_sink.h"
#include "numbers/series_outcome.h"

struct SeriesControl {
  bool checkpoint_set = false;              // only then may a stop request end the loop
  std::uint32_t (*read_clock)() = nullptr;  // milliseconds, wrapping modulo 2^32
  // polled once per iteration or sweep; consumes at most one key
  bool (*stop_requested)() = nullptr;
  ProgressSink progress;  // told the term's first non-zero word
};

// Runs the loop from the state's current term until the term vanishes (COMPLETED, next_n is the
// index of the first zero term), n passes LAST_SERIES_INDEX (LIMIT) or a stop is requested while
// a checkpoint path is set (INTERRUPTED, with `sum` and `term` ready to be saved). Reports the
// term's first non-zero word to the progress sink and accounts the clock whenever next_n passes
// a multiple of 100, and on interruption. Requires an allocated state whose last_clock was just
// read and whose first_nonzero is a lower bound on the term's first non-zero word.
//
// run_series_literal does one term per iteration with the word routines; run_series reaches
// exactly the same states with the fast engine, several terms per sweep, polling between sweeps.
SeriesOutcome run_series_literal(CalcState* state, const SeriesControl& control);
SeriesOutcome run_series(CalcState* state, const SeriesControl& control);

// The memory the fast engine takes beside the state's numbers, for a state of `word_count` words.
std::uint64_t sweep_engine_bytes(std::int32_t word_count);

// Turns a completed sum into sqrt(2): divides by 8119, then multiplies by 11482, and adds the
// time since the last clock reading. Afterwards digit positions 0 .. digits-1 are exact.
void scale_to_sqrt2(CalcState* state, std::uint32_t clock_reading);
