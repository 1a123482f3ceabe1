// The loop around the engine's sweeps: the stop rules of the series (a zero term, the iteration
// limit, a stop request), the progress bar and the clock.
#pragma once

#include <algorithm>
#include <cstdint>

#include "compute/series.h"
#include "compute/series_constants.h"
#include "output/progress.h"

// The length of a sweep from index n: no longer than the engine allows there, nor than the
// control's setting, and no index past the limit.
template <class Engine>
int sweep_length(const Engine& engine, const SeriesControl& control, std::uint32_t n) {
  int terms = engine.max_terms(n);
  if (control.terms_per_sweep > 0) terms = std::min(terms, control.terms_per_sweep);
  return static_cast<int>(std::min(static_cast<std::uint32_t>(terms), LAST_SERIES_INDEX + 1 - n));
}

// Runs sweeps (in pairs when the engine has a second thread) until the series ends. Every term index a sweep subtracts stays at or below the
// limit; a sweep is no longer than the engine allows at its index, nor than `terms_per_sweep`
// when that is set.
template <class Engine>
SeriesOutcome drive_series(Engine& engine, CalcState* state, const SeriesControl& control) {
  for (;;) {
    if (engine.term_is_zero()) return SeriesOutcome::COMPLETED;
    const std::uint32_t n = state->next_n;
    if (n > LAST_SERIES_INDEX) {
      engine.subtract_current();
      return SeriesOutcome::LIMIT;
    }
    int terms = sweep_length(engine, control, n);
    int second_terms = 0;
    const std::uint32_t second_n = n + static_cast<std::uint32_t>(terms);
    if (engine.worth_two_threads() && second_n <= LAST_SERIES_INDEX) {
      second_terms = sweep_length(engine, control, second_n);
    }
    int formed = engine.sweep_pair(n, terms, second_terms);
    state->next_n = n + static_cast<std::uint32_t>(formed);
    progress_update(static_cast<std::uint32_t>(engine.first_nonzero_word()));
    if (state->next_n / 100 != n / 100) calc_account_time(state, control.read_clock());
    if (control.stop_requested() && control.checkpoint_set) {
      calc_account_time(state, control.read_clock());
      return SeriesOutcome::INTERRUPTED;
    }
  }
}
