#include <cassert>

#include "numbers/fixed_decimal.h"

std::int32_t first_nonzero_word(const Word* a, std::int32_t count) {
  assert(count >= 0);
  for (std::int32_t k = 0; k < count; ++k) {
    if (a[k] != 0) return k;
  }
  return count;
}

int compare_words(const Word* a, const Word* b, std::int32_t count) {
  assert(count >= 0);
  for (std::int32_t k = 0; k < count; ++k) {
    if (a[k] != b[k]) return a[k] < b[k] ? -1 : 1;
  }
  return 0;
}

bool words_normalised(const Word* a, std::int32_t count) {
  assert(count >= 0);
  for (std::int32_t k = 0; k < count; ++k) {
    if (a[k] >= WORD_BASE) return false;
  }
  return true;
}
