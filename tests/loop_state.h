// The loop's own state at an index, as an independent source for the checkpoints a run saves.
#pragma once

#include <cstdint>
#include <string>

#include "numbers/calc_state.h"

// The state the series reaches from a fresh start of `digits` positions when `next_n` is the
// term it holds: the sweep engine in short sweeps to within one sweep of it, the literal loop for
// the last steps.
void literal_state_at(CalcState* state, std::uint32_t digits, std::uint32_t next_n);

// Checks (with GoogleTest) that a saved file is the loop's state at its next_n, apart from the
// time.
void expect_literal_checkpoint(const std::string& saved, std::uint32_t digits);
