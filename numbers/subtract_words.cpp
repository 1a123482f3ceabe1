#include <cassert>

#include "numbers/fixed_decimal.h"

void subtract_words(Word* a, const Word* b, std::int32_t count, std::int32_t from) {
  assert(count >= 1 && from >= 0 && from <= count);
  Word borrow = 0;
  for (std::int32_t k = count - 1; k >= 0; --k) {
    if (a[k] < b[k] + borrow) {
      a[k] = a[k] + WORD_BASE - borrow - b[k];
      borrow = 1;
    } else {
      a[k] = a[k] - b[k] - borrow;
      if (k <= from) return;
      borrow = 0;
    }
  }
}
