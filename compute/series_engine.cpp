#include "compute/engine_driver.h"
#include "compute/series.h"
#include "compute/sweep_helper.h"
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
