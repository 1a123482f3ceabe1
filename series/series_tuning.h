// The fast engine's settings beyond its own choices, for the engine's tests and its benchmark:
// a run of the program always takes the engine's own choices, through run_series.
#pragma once

#include "series/series.h"

struct SeriesTuning {
  int terms_per_sweep = 0;            // the engine's sweep length at most; 0 for its own choice
  bool portable_engine_only = false;  // leave out the engines for particular processors
  int threads = 0;                    // threads for the engine; 0 for the hardware's
  // Make the two threads meet on small numbers; 0 keeps the engine's own values.
  int pairing_threshold = 0;  // wide words a sweep covers before two are paired
  int gate_stages = 0;        // stages between two looks at the other thread
};

// run_series with the given settings.
SeriesOutcome run_series_tuned(CalcState* state, const SeriesControl& control,
                               const SeriesTuning& tuning);

// True when this processor runs an engine beyond the portable one (AVX-512 IFMA).
bool processor_engine_available();
