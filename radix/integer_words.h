// Exact integers between GMP's binary form and the series' base-10^9 words.
#pragma once

#include <gmp.h>

#include <cstddef>
#include <cstdint>

#include "numbers/fixed_decimal.h"
#include "radix/decimal_tree.h"

// x <- the integer whose base-10^9 digits are words[0 .. count), most significant first, by
// halves, the two top halves on two threads when `threads` is 2.
void words_to_integer(const Word* words, std::int32_t count, mpz_t x, unsigned threads);

// What converting integers below 10^(9 count) into words takes, whatever the integer: the powers
// of ten of its halvings and R, at most floor(B^L 2^s / (2 10^places)) and a few units below it,
// L = piece_limbs(places) and 2^s >= 2 10^places, so that (2x + 1) R / 2^s, truncated, is
// (2x + 1) / (2 10^places) in units of B^-L less by a few units: one product instead of a division
// for each integer.
struct WordConversion {
  std::int32_t count = 0;
  std::uint64_t places = 0;
  PowerTable powers;
  mpz_t reciprocal;
  mp_bitcnt_t shift = 0;
  bool whole_pieces_apart = false;  // two numbers' whole pieces one after the other, for memory
  // FFT scratch and threads for a whole piece made while the other thread waits (0: the common
  // bound; see set_thread_alone)
  std::size_t lone_fft_scratch_bytes = 0;
  unsigned lone_threads = 1;
  bool ready = false;
};

// Prepares the conversion of integers of up to `count` words. Returns false, holding nothing,
// when memory is short or the integers are too short for the conversion by halves (GMP's own
// conversion is then the quicker one).
bool prepare_word_conversion(std::int32_t count, WordConversion* conversion);
void release_word_conversion(WordConversion* conversion);

// words[k][0 .. count) <- the base-10^9 digits of x[k] for each of `numbers` integers (at most
// MAX_NUMBERS_TO_WORDS) as integer_to_words gives them, through `prepared`, ready for at most
// count words (x[k] below 10^(9 prepared.count)): their pieces shared by `threads` threads (1 or
// 2), so that a thread that has finished one number's share takes the other's. The digits go
// straight into the words; where the quick conversion fails (memory too short), GMP's divisions
// give them.
inline constexpr int MAX_NUMBERS_TO_WORDS = 2;
void integers_to_words(const mpz_srcptr* x, Word* const* words, int numbers, std::int32_t count,
                       unsigned threads, const WordConversion& prepared);

// words[0 .. count) <- the base-10^9 digits of x, 0 <= x < 10^(9 count), most significant first,
// on `threads` threads (1 or 2), through `prepared` when it is ready for count words (or null).
// Where memory is too short for the quick conversion, GMP's divisions do it.
void integer_to_words(const mpz_t x, Word* words, std::int32_t count, unsigned threads,
                      const WordConversion* prepared = nullptr);
