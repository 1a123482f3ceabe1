// Exact integers between GMP's binary form and the series' base-10^9 words.
#pragma once

#include <gmp.h>

#include <cstdint>

#include "numbers/fixed_decimal.h"

// Bytes of the character buffer integer_to_words needs for `count` words.
inline std::size_t integer_words_buffer_bytes(std::int32_t count) {
  return static_cast<std::size_t>(count) * DIGITS_PER_WORD + 2;
}

// x <- the integer whose base-10^9 digits are words[0 .. count), most significant first, by
// halves, the two top halves on two threads when `threads` is 2.
void words_to_integer(const Word* words, std::int32_t count, mpz_t x, unsigned threads);

// words[0 .. count) <- the base-10^9 digits of x, 0 <= x < 10^(9 count), most significant first,
// on `threads` threads (1 or 2). `chars` holds integer_words_buffer_bytes(count) bytes. Where
// memory is too short for the quick conversion, GMP's own does it.
void integer_to_words(const mpz_t x, Word* words, std::int32_t count, char* chars,
                      unsigned threads);
