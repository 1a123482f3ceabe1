// Whether a state read from a checkpoint is one the series can reach, as far as that follows
// cheaply from its digit count D and index n: a state no run can write would give wrong digits.
#pragma once

#include "numbers/calc_state.h"

// False when the state is certainly none the loop reaches: at n = 1 anything but the fresh state;
// at n >= 2 a sum whose word 0 is not 99,999,999 (every reachable sum lies in [sqrt(1-x), 1)), a
// term whose size is far from the exact term's, or a zero term that is not the first (sizes
// estimated in double precision, with a wide margin). Requires an allocated state.
bool series_state_plausible(const CalcState& state);
