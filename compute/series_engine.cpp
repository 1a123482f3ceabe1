#include <algorithm>

#include "compute/series.h"
#include "compute/series_constants.h"
#include "compute/sweep_helper.h"
#include "compute/sweep_engine.h"
#include "compute/sweep_kernel.h"
#include "output/progress.h"

namespace {

// The length of a sweep from index n: no longer than the engine allows there, nor than the
// control's setting, and no index past the limit.
int sweep_length(const SweepEngine& engine, const SeriesControl& control, std::uint32_t n) {
  int terms = engine.max_terms(n);
  if (control.terms_per_sweep > 0) terms = std::min(terms, control.terms_per_sweep);
  return static_cast<int>(std::min(static_cast<std::uint32_t>(terms), LAST_SERIES_INDEX + 1 - n));
}

// The loop around the engine's sweeps, in pairs while two threads pay: the stop rules of the
// series (a zero term, the iteration limit, a stop request), the progress bar and the clock.
SeriesOutcome drive_series(SweepEngine& engine, CalcState* state, const SeriesControl& control) {
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

}  // namespace

bool processor_engine_available() {
#if defined(TINDERMOSS_HAVE_IFMA_KERNEL)
  return ifma_available();
#else
  return false;
#endif
}

SeriesOutcome run_series(CalcState* state, const SeriesControl& control) {
  SweepEngine engine;
  // Without memory for the engine's limbs, the literal loop still gets there.
  if (!engine.start(state, !control.portable_engine_only)) return run_series_literal(state, control);
  SweepHelper helper;
  unsigned threads = control.threads > 0 ? static_cast<unsigned>(control.threads)
                                         : std::thread::hardware_concurrency();
  if (threads >= 2 && helper.start()) engine.helper = &helper;
  if (control.pairing_threshold > 0) engine.pairing_threshold = control.pairing_threshold;
  if (control.gate_steps > 0) engine.gate_steps = control.gate_steps;
  SeriesOutcome outcome = drive_series(engine, state, control);
  helper.stop();
  engine.finish(state);
  engine.release();
  return outcome;
}
