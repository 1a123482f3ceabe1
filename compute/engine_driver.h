// The loop around an engine's sweeps: the stop rules of the series (a zero term, the iteration
// limit, a stop request), the progress bar and the clock, shared by every engine.
//
// An Engine provides:
//   bool term_is_zero() const;
//   int sweep(std::uint32_t n, int terms);  // subtracts terms n .. n+terms-1, forms n+terms;
//                                           // returns how many were formed up to the first zero
//   void subtract_current();                // subtracts the current term alone
//   std::int32_t first_nonzero_word() const;
#pragma once

#include <algorithm>
#include <cstdint>

#include "compute/series.h"
#include "compute/series_constants.h"
#include "output/progress.h"

struct DriveResult {
  bool ended;             // false: next_n reached the engine's index bound, the run goes on elsewhere
  SeriesOutcome outcome;  // when ended
};

// Runs sweeps of at most `terms_per_sweep` terms while next_n < index_bound. Every term index a
// sweep subtracts stays below index_bound and at or below the limit.
template <class Engine>
DriveResult drive_series(Engine& engine, CalcState* state, const SeriesControl& control,
                         int terms_per_sweep, std::uint32_t index_bound) {
  for (;;) {
    if (engine.term_is_zero()) return {true, SeriesOutcome::COMPLETED};
    const std::uint32_t n = state->next_n;
    if (n > LAST_SERIES_INDEX) {
      engine.subtract_current();
      return {true, SeriesOutcome::LIMIT};
    }
    if (n >= index_bound) return {false, SeriesOutcome::COMPLETED};
    std::uint32_t room = std::min(LAST_SERIES_INDEX + 1 - n, index_bound - n);
    int terms = static_cast<int>(std::min(static_cast<std::uint32_t>(terms_per_sweep), room));
    int formed = engine.sweep(n, terms);
    state->next_n = n + static_cast<std::uint32_t>(formed);
    progress_update(static_cast<std::uint32_t>(engine.first_nonzero_word()));
    if (state->next_n / 100 != n / 100) calc_account_time(state, control.read_clock());
    if (control.stop_requested() && control.checkpoint_set) {
      calc_account_time(state, control.read_clock());
      return {true, SeriesOutcome::INTERRUPTED};
    }
  }
}
