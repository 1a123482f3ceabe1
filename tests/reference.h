// Independent reference values for the tests, computed with GMP.
#pragma once

#include <gmp.h>

#include <cstdint>
#include <string>
#include <vector>

#include "numbers/fixed_decimal.h"

// The first `count` decimal digits of sqrt(2) after the point, as characters: from
// floor(sqrt(2 * 10^(2 count))).
std::string sqrt2_digits(std::uint32_t count);

// The words as one integer: sum of w[k] * 10^(9 (count-1-k)).
void words_to_mpz(mpz_t value, const Word* words, std::int32_t count);

// The integer as `count` words (requires value < 10^(9 count)).
std::vector<Word> mpz_to_words(const mpz_t value, std::int32_t count);

// The fixed-point words of 1.<digits after the point>, padded with zeros to `count` words.
std::vector<Word> fixed_from_digits(const std::string& digits_after_point, std::int32_t count);

// The Shift_JIS bytes of UTF-8 text, converted by iconv.
std::string shift_jis_from_utf8(const std::string& utf8);
