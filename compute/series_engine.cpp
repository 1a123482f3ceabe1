#include "compute/engine_driver.h"
#include "compute/series.h"
#include "compute/sweep_engine.h"
#include "compute/sweep_kernel.h"

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
  SeriesOutcome outcome = drive_series(engine, state, control);
  engine.finish(state);
  engine.release();
  return outcome;
}
