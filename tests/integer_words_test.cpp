// Integers between binary and base-10^9 words against GMP's own decimal digits: through a prepared
// conversion and without one, alone and two together, with leading zeros and long runs of zeros,
// on one thread and two, under the blocks' bounds on the products and under the conversions'
// (split, scratch kept).
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "products/product.h"
#include "products/product_tuning.h"
#include "radix/integer_words.h"
#include "reference.h"

namespace {

// Converts x of `count` words both ways, prepared and not, on one thread and two; prepared, also
// with the whole piece and its first halving made alone with more FFT scratch, as a save makes
// them.
void expect_gmps_words(const mpz_t x, std::int32_t count) {
  const std::vector<Word> expected = mpz_to_words(x, count);
  WordConversion prepared;
  const bool ready = prepare_word_conversion(count, &prepared);
  for (const unsigned threads : {1u, 2u}) {
    for (const int way : {0, 1, 2}) {
      prepared.lone_fft_scratch_bytes = way == 2 ? fft_scratch_bytes(16000) : 0;
      std::vector<Word> words(static_cast<std::size_t>(count), 7);
      integer_to_words(x, words.data(), count, threads, way == 0 ? nullptr : &prepared);
      EXPECT_EQ(words, expected) << count << " words, " << threads << " threads, prepared "
                                 << (way != 0 && ready) << ", alone " << (way == 2);
    }
    mpz_t back;
    mpz_init(back);
    words_to_integer(expected.data(), count, back, threads);
    EXPECT_EQ(mpz_cmp(back, x), 0) << count << " words back, " << threads << " threads";
    mpz_clear(back);
  }
  release_word_conversion(&prepared);
}

// Converts two integers of `count` words together, in both orders, on one thread and two.
void expect_gmps_words_together(const mpz_t x, const mpz_t y, std::int32_t count) {
  WordConversion prepared;
  ASSERT_TRUE(prepare_word_conversion(count, &prepared));
  for (const bool swapped : {false, true}) {
    const mpz_srcptr numbers[] = {swapped ? y : x, swapped ? x : y};
    // The whole pieces side by side, and one after the other as for the largest numbers, the
    // first of them then with more FFT scratch than the rest.
    prepared.whole_pieces_apart = swapped;
    prepared.lone_fft_scratch_bytes = swapped ? fft_scratch_bytes(16000) : 0;
    for (const unsigned threads : {1u, 2u}) {
      std::vector<Word> first(static_cast<std::size_t>(count), 7), second(first);
      Word* const words[] = {first.data(), second.data()};
      integers_to_words(numbers, words, 2, count, threads, prepared);
      EXPECT_EQ(first, mpz_to_words(numbers[0], count)) << count << " words, " << threads;
      EXPECT_EQ(second, mpz_to_words(numbers[1], count)) << count << " words, " << threads;
    }
  }
  release_word_conversion(&prepared);
}

void expect_every_shape(std::mt19937_64& rng) {
  gmp_randstate_t random;
  gmp_randinit_mt(random);
  gmp_randseed_ui(random, static_cast<unsigned long>(rng()));
  mpz_t x, power, previous;
  mpz_inits(x, power, previous, nullptr);
  for (const std::int32_t count : {2300, 7001, 40000}) {
    const auto places = static_cast<unsigned long>(count) * DIGITS_PER_WORD;
    mpz_ui_pow_ui(power, 10, places);
    mpz_urandomm(x, random, power);  // the full width
    expect_gmps_words(x, count);
    mpz_set(previous, x);
    mpz_tdiv_q_2exp(x, x, static_cast<mp_bitcnt_t>(count) * 10);  // leading zero words
    expect_gmps_words(x, count);
    expect_gmps_words_together(previous, x, count);
    mpz_sub_ui(x, power, 1);  // all nines
    expect_gmps_words(x, count);
    mpz_ui_pow_ui(x, 10, static_cast<unsigned long>(count) * 5);  // one digit, zeros after
    mpz_add_ui(x, x, 3);
    expect_gmps_words(x, count);
    // Most digits leading zeros, so that whole halves of the conversion are not wanted; and with
    // zero, which has no digits to convert.
    mpz_ui_pow_ui(power, 10, places / 3);
    mpz_urandomm(x, random, power);
    expect_gmps_words_together(previous, x, count);
    mpz_set_ui(x, 0);
    expect_gmps_words_together(previous, x, count);
    // Known zeros down to the last leaf, and all but the last digit, as a term near its end.
    mpz_ui_pow_ui(power, 10, LEAF_PLACES + 40);
    mpz_urandomm(x, random, power);
    expect_gmps_words_together(previous, x, count);
    mpz_set_ui(x, 7);
    expect_gmps_words(x, count);
  }
  mpz_clears(x, power, previous, nullptr);
  gmp_randclear(random);
}

// Too short for the conversion by halves: GMP's divisions, down to single words.
TEST(IntegerWords, ShortIntegersByDivisions) {
  gmp_randstate_t random;
  gmp_randinit_mt(random);
  mpz_t x, power;
  mpz_inits(x, power, nullptr);
  for (const std::int32_t count : {1, 2, 32, 33, 65, 1000, 2222}) {
    mpz_ui_pow_ui(power, 10, static_cast<unsigned long>(count) * DIGITS_PER_WORD);
    mpz_urandomm(x, random, power);
    expect_gmps_words(x, count);
    mpz_sub_ui(x, power, 1);  // all nines
    expect_gmps_words(x, count);
    for (const unsigned long small : {0ul, 7ul, 1000000000ul}) {
      mpz_set_ui(x, small);
      if (mpz_cmp(x, power) < 0) expect_gmps_words(x, count);
    }
  }
  mpz_clears(x, power, nullptr);
  gmp_randclear(random);
}

TEST(IntegerWords, GmpsDigitsUnderTheBlocksBounds) {
  std::mt19937_64 rng(41);
  expect_every_shape(rng);
}

TEST(IntegerWords, GmpsDigitsWithProductsSplitAndScratchKept) {
  set_product_bounds({fft_scratch_bytes(3000), true, true});
  std::mt19937_64 rng(42);
  expect_every_shape(rng);
  release_product_scratch();
  set_product_bounds({});
}

}  // namespace
