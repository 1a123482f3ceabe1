#include "numbers/calc_state.h"

#include <cassert>
#include <cstdlib>

#include "numbers/series_constants.h"

bool calc_allocate(CalcState* state, bool zeroed) {
  assert(state->positions >= 1 && state->positions < POSITION_COUNT_BOUND);
  assert(state->sum == nullptr && state->term == nullptr);
  std::int32_t count = words_for_positions(state->positions);
  std::size_t bytes = static_cast<std::size_t>(count) * sizeof(Word);
  // Zeroed memory from calloc is only touched when used.
  state->sum = static_cast<Word*>(zeroed ? std::calloc(1, bytes) : std::malloc(bytes));
  if (state->sum == nullptr) return false;
  state->term = static_cast<Word*>(zeroed ? std::calloc(1, bytes) : std::malloc(bytes));
  if (state->term == nullptr) {
    std::free(state->sum);
    state->sum = nullptr;
    return false;
  }
  state->word_count = count;
  return true;
}

void calc_release(CalcState* state) {
  std::free(state->sum);
  std::free(state->term);
  state->sum = nullptr;
  state->term = nullptr;
}

std::int32_t set_fresh_numbers(Word* sum, Word* term, std::int32_t count) {
  sum[0] = WORD_ONE;
  term[0] = WORD_ONE;
  return divide_small(term, FIRST_TERM_DIVISOR, count, 0);
}

bool calc_start_fresh(CalcState* state, std::uint32_t positions, std::uint32_t format,
                      std::uint32_t print_lead) {
  state->positions = positions;
  if (!calc_allocate(state, true)) return false;
  state->first_nonzero = set_fresh_numbers(state->sum, state->term, state->word_count);
  state->next_n = 1;
  state->elapsed_ms = 0;
  state->format = format;
  state->print_lead = print_lead;
  return true;
}

void calc_account_time(CalcState* state, std::uint32_t reading) {
  state->elapsed_ms += static_cast<std::uint32_t>(reading - state->last_clock);
  state->last_clock = reading;
}
