#include "series_runs.h"

namespace {

std::int64_t stopping_poll = -1;
std::int64_t polls = 0;

}  // namespace

void stop_at_poll(std::int64_t poll) {
  stopping_poll = poll;
  polls = 0;
}

bool polled_stop() { return ++polls == stopping_poll; }

std::int64_t polls_made() { return polls; }

StateImage image_of(const CalcState& state) {
  return {state.next_n, std::vector<Word>(state.sum, state.sum + state.word_count),
          std::vector<Word>(state.term, state.term + state.word_count)};
}
