#include <cassert>

#include "numbers/fixed_decimal.h"

std::int32_t multiply_small(Word* a, std::uint32_t m, std::int32_t count, std::int32_t from) {
  assert(count >= 1 && from >= 0 && from <= count);
  std::int32_t first = -1;
  std::uint64_t carry = 0;
  for (std::int32_t k = count - 1; k >= 0; --k) {
    std::uint64_t t = static_cast<std::uint64_t>(m) * a[k] + carry;
    a[k] = static_cast<Word>(t % WORD_BASE);
    carry = t / WORD_BASE;
    if (a[k] != 0) first = k;
    if (k <= from && carry == 0) break;
  }
  return m == 0 ? count : first;
}
