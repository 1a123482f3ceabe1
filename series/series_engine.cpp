#include <algorithm>

#include "numbers/series_constants.h"
#include "series/series.h"
#include "series/series_tuning.h"
#include "series/sweep_engine.h"
#include "series/sweep_helper.h"
#include "series/sweep_kernel.h"

namespace {

// The length of a sweep from index n: no longer than the engine allows there, nor than the
// tuning's setting, and no index past the limit.
int sweep_length(const SweepEngine& engine, const SeriesTuning& tuning, std::uint32_t n) {
  int terms = engine.max_terms(n);
  if (tuning.terms_per_sweep > 0) terms = std::min(terms, tuning.terms_per_sweep);
  return static_cast<int>(std::min(static_cast<std::uint32_t>(terms), LAST_SERIES_INDEX + 1 - n));
}

// The loop around the engine's sweeps, in pairs while two threads pay: the stop rules of the
// series (a zero term, the iteration limit, a stop request), the progress and the clock.
SeriesOutcome drive_series(SweepEngine& engine, CalcState* state, const SeriesControl& control,
                           const SeriesTuning& tuning) {
  for (;;) {
    if (engine.term_is_zero()) return SeriesOutcome::COMPLETED;
    const std::uint32_t n = state->next_n;
    if (n > LAST_SERIES_INDEX) {
      engine.subtract_current();
      return SeriesOutcome::LIMIT;
    }
    int terms = sweep_length(engine, tuning, n);
    int second_terms = 0;
    const std::uint32_t second_n = n + static_cast<std::uint32_t>(terms);
    if (engine.worth_two_threads() && second_n <= LAST_SERIES_INDEX) {
      second_terms = sweep_length(engine, tuning, second_n);
    }
    int formed = engine.sweep_pair(n, terms, second_terms);
    state->next_n = n + static_cast<std::uint32_t>(formed);
    progress_advance(control.progress, static_cast<std::uint32_t>(engine.first_nonzero_word()));
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
  return run_series_tuned(state, control, SeriesTuning{});
}

SeriesOutcome run_series_tuned(CalcState* state, const SeriesControl& control,
                               const SeriesTuning& tuning) {
  SweepEngine engine;
  // Without memory for the engine's wide words, the literal loop still gets there.
  if (!engine.start(state, !tuning.portable_engine_only)) return run_series_literal(state, control);
  SweepHelper helper;
  unsigned threads = tuning.threads > 0 ? static_cast<unsigned>(tuning.threads)
                                        : std::thread::hardware_concurrency();
  if (threads >= 2 && helper.start()) engine.helper = &helper;
  if (tuning.pairing_threshold > 0) engine.pairing_threshold = tuning.pairing_threshold;
  if (tuning.gate_stages > 0) engine.gate_stages = tuning.gate_stages;
  SeriesOutcome outcome = drive_series(engine, state, control, tuning);
  helper.stop();
  engine.finish(state);
  engine.release();
  return outcome;
}
