// Whether a state read from a checkpoint is one the series can reach, decided with enclosures of
// its exact terms: sharper than the series' own check, which it follows.
#pragma once

#include "numbers/calc_state.h"

// False when the state is provably none the loop reaches for its digit count at its index: an
// index past the final one, a zero term before it, or a term outside (E - 1 - 1/(K-1), E] for the
// exact term E (its leading words against an enclosure of E; what the enclosure cannot decide is
// accepted). Requires an allocated state.
bool series_state_reachable(const CalcState& state);
