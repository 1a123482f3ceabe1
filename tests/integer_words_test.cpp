// Integers between binary and base-10^9 words against GMP's own decimal digits: through a prepared
// conversion and without one, with leading zeros and long runs of zeros, on one thread and two,
// under the blocks' bounds on the products and under the conversions' (split, scratch kept).
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "products/product.h"
#include "products/product_tuning.h"
#include "radix/integer_words.h"
#include "reference.h"

namespace {

// Converts x of `count` words both ways, prepared and not, on one thread and two.
void expect_gmps_words(const mpz_t x, std::int32_t count) {
  const std::vector<Word> expected = mpz_to_words(x, count);
  std::vector<char> chars(integer_words_buffer_bytes(count));
  WordConversion prepared;
  const bool ready = prepare_word_conversion(count, &prepared);
  for (const unsigned threads : {1u, 2u}) {
    for (const WordConversion* conversion : {static_cast<const WordConversion*>(nullptr),
                                             static_cast<const WordConversion*>(&prepared)}) {
      std::vector<Word> words(static_cast<std::size_t>(count), 7);
      integer_to_words(x, words.data(), count, chars.data(), threads, conversion);
      EXPECT_EQ(words, expected) << count << " words, " << threads << " threads, prepared "
                                 << (conversion != nullptr && ready);
    }
    mpz_t back;
    mpz_init(back);
    words_to_integer(expected.data(), count, back, threads);
    EXPECT_EQ(mpz_cmp(back, x), 0) << count << " words back, " << threads << " threads";
    mpz_clear(back);
  }
  release_word_conversion(&prepared);
}

void expect_every_shape(std::mt19937_64& rng) {
  gmp_randstate_t random;
  gmp_randinit_mt(random);
  gmp_randseed_ui(random, static_cast<unsigned long>(rng()));
  mpz_t x, power;
  mpz_inits(x, power, nullptr);
  for (const std::int32_t count : {2300, 7001, 40000}) {
    mpz_ui_pow_ui(power, 10, static_cast<unsigned long>(count) * DIGITS_PER_WORD);
    mpz_urandomm(x, random, power);  // the full width
    expect_gmps_words(x, count);
    mpz_tdiv_q_2exp(x, x, static_cast<mp_bitcnt_t>(count) * 10);  // leading zero words
    expect_gmps_words(x, count);
    mpz_sub_ui(x, power, 1);  // all nines
    expect_gmps_words(x, count);
    mpz_ui_pow_ui(x, 10, static_cast<unsigned long>(count) * 5);  // one digit, zeros after
    mpz_add_ui(x, x, 3);
    expect_gmps_words(x, count);
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
