// Fixed-point decimal numbers: arrays of base-10^9 words, most significant first. Word 0 holds
// the units digit in its top decimal place, so 1.0 is word 0 = 100,000,000 and every other word 0.
// The routines work in place, never allocate, and take or return the index of the first non-zero
// word so that leading zero words are skipped.
#pragma once

#include <cstdint>

#include "numbers/digit_positions.h"

using Word = std::uint32_t;

inline constexpr Word WORD_BASE = 1000000000u;  // 10^9, one word's range
inline constexpr Word WORD_ONE = 100000000u;    // word 0 of the value 1.0
inline constexpr int DIGITS_PER_WORD = 9;
inline constexpr std::int32_t GUARD_WORDS = 5;

// Words for `positions` digit positions (0 .. positions-1) plus the guard words:
// floor((positions + 8) / 9) + 5, counted in unsigned 32-bit arithmetic. Requires
// positions < POSITION_COUNT_BOUND.
std::int32_t words_for_positions(std::uint32_t positions);

// The decimal digit at `position` >= 0 (position 0 is the units digit).
int digit_at(const Word* x, std::int32_t position);

// a <- a - b over `count` words. Requires a >= b, every word of b below `from` zero, and
// 0 <= from <= count. A borrow may run past `from` towards word 0.
void subtract_words(Word* a, const Word* b, std::int32_t count, std::int32_t from);

// a <- a * m over `count` words. Requires every word of a below `from` zero and
// 0 <= from <= count. Returns the index of the first non-zero word of the product, `count` if
// m = 0, and -1 only if every word it wrote is zero. A carry out of word 0 is dropped.
std::int32_t multiply_small(Word* a, std::uint32_t m, std::int32_t count, std::int32_t from);

// a <- floor(a / d) over `count` words, truncated at the last word. Requires d != 0, every word
// of a below `from` zero and 0 <= from. Returns the index of the first non-zero word of the
// quotient, or `count` if it is zero (and at once, unchanged, when from >= count).
std::int32_t divide_small(Word* a, std::uint32_t d, std::int32_t count, std::int32_t from);

// The index of the first non-zero word of a, or `count` when every word is zero.
std::int32_t first_nonzero_word(const Word* a, std::int32_t count);

// -1, 0 or 1 as a is below, equal to or above b, both of `count` words.
int compare_words(const Word* a, const Word* b, std::int32_t count);

// True when every word of a is below WORD_BASE.
bool words_normalised(const Word* a, std::int32_t count);
