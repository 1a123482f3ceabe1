// The choice of engine for a run of the series: the fastest that the processor and the term
// indices allow, the literal loop when no engine can get its memory.
#include <algorithm>

#include "compute/engine_driver.h"
#include "compute/scalar_engine.h"
#include "compute/series.h"
#include "compute/simd_engine.h"

namespace {

int sweep_length(const SeriesControl& control, int most) {
  return control.terms_per_sweep > 0 ? std::min(control.terms_per_sweep, most) : most;
}

// Runs `engine` from the state until the run ends or next_n reaches index_bound. False, with the
// state untouched, when the engine cannot get its memory.
template <class Engine>
bool run_engine(CalcState* state, const SeriesControl& control, std::uint32_t index_bound,
                DriveResult* result) {
  Engine engine;
  if (!engine.start(state)) return false;
  *result = drive_series(engine, state, control, sweep_length(control, Engine::MAX_TERMS), index_bound);
  engine.finish(state);
  engine.release();
  return true;
}

}  // namespace

bool processor_engine_available() {
#if defined(TINDERMOSS_HAVE_SIMD_ENGINE)
  return SimdEngine::supported();
#else
  return false;
#endif
}

SeriesOutcome run_series(CalcState* state, const SeriesControl& control) {
  DriveResult result{false, SeriesOutcome::COMPLETED};
#if defined(TINDERMOSS_HAVE_SIMD_ENGINE)
  if (!control.portable_engine_only && state->next_n < SimdEngine::index_bound() &&
      SimdEngine::supported()) {
    if (run_engine<SimdEngine>(state, control, SimdEngine::index_bound(), &result) && result.ended) {
      return result.outcome;
    }
  }
#endif
#if defined(TINDERMOSS_HAVE_INT128)
  if (run_engine<ScalarEngine>(state, control, UINT32_MAX, &result)) return result.outcome;
#endif
  return run_series_literal(state, control);
}
