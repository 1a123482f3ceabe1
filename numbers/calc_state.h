// The state of one computation: what a checkpoint stores, plus the working fields of the loop.
#pragma once

#include <cstdint>

#include "numbers/fixed_decimal.h"

struct CalcState {
  std::uint32_t positions = 0;   // digit positions D: the requested digits + 1
  std::uint32_t format = 0;      // OutputFormat
  std::uint32_t print_lead = 1;  // non-zero writes the leading "1."
  std::uint64_t elapsed_ms = 0;  // computing time so far, earlier runs included
  std::uint32_t next_n = 0;      // index n of the term held in `term`
  Word* sum = nullptr;           // 1 - (t_1 + ... + t_(n-1))
  Word* term = nullptr;          // t_n
  // Not stored in a checkpoint:
  std::int32_t word_count = 0;     // W = words_for_positions(positions)
  std::int32_t first_nonzero = 0;  // lower bound on the first non-zero word of `term`; W when zero
  std::uint32_t last_clock = 0;    // the last millisecond clock reading
};

// The bytes of the two numbers of a state of `word_count` words each.
constexpr std::uint64_t calc_numbers_bytes(std::int32_t word_count) {
  return 2 * static_cast<std::uint64_t>(word_count) * sizeof(Word);
}

// Allocates `sum`, then `term`, with words_for_positions(state->positions) words each (all zero
// when `zeroed`), and sets word_count. Requires 1 <= positions < POSITION_COUNT_BOUND and no
// numbers held. Returns false, with nothing allocated, when either allocation fails.
bool calc_allocate(CalcState* state, bool zeroed);

// Releases both numbers; safe on a state that holds none.
void calc_release(CalcState* state);

// sum <- 1.0 and term <- t_1 = 1.0 / 131836324 truncated, over `count` >= 1 words that are all
// zero. Returns the term's first non-zero word.
std::int32_t set_fresh_numbers(Word* sum, Word* term, std::int32_t count);

// A fresh computation of `positions` digit positions: sum = 1.0, term = t_1 = 1 / 131836324, n = 1,
// no time spent. Requires 1 <= positions < POSITION_COUNT_BOUND. Returns false when the numbers
// cannot be allocated.
bool calc_start_fresh(CalcState* state, std::uint32_t positions, std::uint32_t format,
                      std::uint32_t print_lead);

// Adds the clock's progress since the last reading to elapsed_ms (the difference modulo 2^32)
// and remembers `reading`.
void calc_account_time(CalcState* state, std::uint32_t reading);
