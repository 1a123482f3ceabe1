// What the series tests share: a stop that comes at a chosen poll, and the image of a state.
#pragma once

#include <cstdint>
#include <vector>

#include "numbers/calc_state.h"

// A stop request that answers yes at exactly one poll: the `poll`-th call of polled_stop() after
// stop_at_poll (1 for the first); -1 for none.
void stop_at_poll(std::int64_t poll);
bool polled_stop();
std::int64_t polls_made();  // since stop_at_poll

// A state's index and words, for comparing the states that two engines reach.
struct StateImage {
  std::uint32_t next_n = 0;
  std::vector<Word> sum, term;
  bool operator==(const StateImage&) const = default;
};
StateImage image_of(const CalcState& state);
