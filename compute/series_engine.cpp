// The choice of engine for a run of the series: the fastest that the processor and the term
// indices allow, the literal loop when no engine can get its memory.
#include <algorithm>

#include "compute/engine_driver.h"
#include "compute/scalar_engine.h"
#include "compute/series.h"

SeriesOutcome run_series(CalcState* state, const SeriesControl& control) {
#if defined(TINDERMOSS_HAVE_INT128)
  ScalarEngine engine;
  if (!engine.start(state)) return run_series_literal(state, control);
  int terms = control.terms_per_sweep > 0 ? std::min(control.terms_per_sweep, ScalarEngine::MAX_TERMS)
                                          : ScalarEngine::MAX_TERMS;
  DriveResult result = drive_series(engine, state, control, terms, UINT32_MAX);
  engine.finish(state);
  engine.release();
  return result.outcome;
#else
  return run_series_literal(state, control);
#endif
}
