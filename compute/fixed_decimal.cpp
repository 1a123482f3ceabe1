#include "compute/fixed_decimal.h"

#include <cassert>

namespace {
constexpr Word POWERS_OF_TEN[DIGITS_PER_WORD] = {100000000, 10000000, 1000000, 100000, 10000,
                                                 1000,      100,      10,      1};
}

std::int32_t words_for_digits(std::uint32_t digits) {
  assert(digits < 0x80000000u);
  return static_cast<std::int32_t>((digits + 8u) / 9u) + GUARD_WORDS;
}

int digit_at(const Word* x, std::int32_t position) {
  assert(position >= 0);
  Word word = x[position / DIGITS_PER_WORD];
  return static_cast<int>(word / POWERS_OF_TEN[position % DIGITS_PER_WORD] % 10);
}
