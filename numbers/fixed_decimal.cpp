#include "numbers/fixed_decimal.h"

#include <cassert>

#include "numbers/powers_of_ten.h"

std::int32_t words_for_positions(std::uint32_t positions) {
  assert(positions < POSITION_COUNT_BOUND);
  return static_cast<std::int32_t>((positions + 8u) / 9u) + GUARD_WORDS;
}

int digit_at(const Word* x, std::int32_t position) {
  assert(position >= 0);
  Word word = x[position / DIGITS_PER_WORD];
  const int place = DIGITS_PER_WORD - 1 - position % DIGITS_PER_WORD;
  return static_cast<int>(word / static_cast<Word>(POWERS_OF_TEN[place]) % 10);
}
