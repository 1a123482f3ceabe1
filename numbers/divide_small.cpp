#include <cassert>

#include "numbers/fixed_decimal.h"

std::int32_t divide_small(Word* a, std::uint32_t d, std::int32_t count, std::int32_t from) {
  assert(d != 0 && count >= 1 && from >= 0);
  if (from >= count) return count;
  std::int32_t first = -1;
  std::uint64_t remainder = 0;
  for (std::int32_t k = from; k < count; ++k) {
    std::uint64_t t = remainder * WORD_BASE + a[k];
    a[k] = static_cast<Word>(t / d);
    if (a[k] != 0 && first < 0) first = k;
    remainder = t % d;
  }
  return first >= 0 ? first : count;
}
