// The word routines against GMP on the same integers.
#include <gtest/gtest.h>

#include <random>

#include "numbers/fixed_decimal.h"
#include "numbers/series_constants.h"
#include "reference.h"

namespace {

struct Mpz {
  mpz_t v;
  Mpz() { mpz_init(v); }
  ~Mpz() { mpz_clear(v); }
};

std::vector<Word> one_point_zero(std::int32_t count) {
  std::vector<Word> words(static_cast<std::size_t>(count), 0);
  words[0] = WORD_ONE;
  return words;
}

// Random words with the first `zeros` words zero.
std::vector<Word> random_words(std::mt19937& rng, std::int32_t count, std::int32_t zeros) {
  std::uniform_int_distribution<Word> word(0, WORD_BASE - 1);
  std::vector<Word> words(static_cast<std::size_t>(count), 0);
  for (std::int32_t k = zeros; k < count; ++k) words[static_cast<std::size_t>(k)] = word(rng);
  return words;
}

std::int32_t first_nonzero_of(const std::vector<Word>& words) {
  for (std::size_t k = 0; k < words.size(); ++k) {
    if (words[k] != 0) return static_cast<std::int32_t>(k);
  }
  return static_cast<std::int32_t>(words.size());
}

TEST(WordsForDigits, CoversThePositionsPlusFiveGuardWords) {
  for (std::uint32_t d = 1; d <= 9; ++d) EXPECT_EQ(words_for_positions(d), 6) << d;
  EXPECT_EQ(words_for_positions(10), 7);
  EXPECT_EQ(words_for_positions(18), 7);
  EXPECT_EQ(words_for_positions(19), 8);
  EXPECT_EQ(words_for_positions(101), 17);
  EXPECT_EQ(words_for_positions(1001), 117);
  EXPECT_EQ(words_for_positions(2147483647u), 238609300);
}

TEST(DigitAt, ReadsEachPositionOfEachWord) {
  std::vector<Word> one = one_point_zero(6);
  EXPECT_EQ(digit_at(one.data(), 0), 1);
  for (std::int32_t i = 1; i < 54; ++i) EXPECT_EQ(digit_at(one.data(), i), 0) << i;

  std::vector<Word> words = {123456789, 987654321, 5};
  std::string expected = "123456789987654321000000005";
  for (std::int32_t i = 0; i < 27; ++i) {
    EXPECT_EQ(digit_at(words.data(), i), expected[static_cast<std::size_t>(i)] - '0') << i;
  }
}

TEST(DivideSmall, FirstTermOfTheSeries) {
  std::vector<Word> term = one_point_zero(6);
  EXPECT_EQ(divide_small(term.data(), FIRST_TERM_DIVISOR, 6, 0), 1);
  Mpz expected;
  mpz_ui_pow_ui(expected.v, 10, 53);  // 1.0 in units of the last word
  mpz_fdiv_q_ui(expected.v, expected.v, FIRST_TERM_DIVISOR);
  EXPECT_EQ(term, mpz_to_words(expected.v, 6));
  EXPECT_EQ(term[0], 0u);
  EXPECT_GE(term[1], 100000000u);  // 45 digits after the leading zeros fill words 1 .. 5
}

TEST(SubtractWords, BorrowRunsPastFrom) {
  std::vector<Word> sum = one_point_zero(6);
  std::vector<Word> term = one_point_zero(6);
  divide_small(term.data(), FIRST_TERM_DIVISOR, 6, 0);
  subtract_words(sum.data(), term.data(), 6, 1);
  EXPECT_EQ(sum[0], WORD_ONE - 1);
  Mpz a, b;
  mpz_ui_pow_ui(a.v, 10, 53);
  words_to_mpz(b.v, term.data(), 6);
  mpz_sub(a.v, a.v, b.v);
  EXPECT_EQ(sum, mpz_to_words(a.v, 6));
}

TEST(SmallOperands, ZeroMultiplierAndEmptyDivision) {
  std::vector<Word> words = {0, 0, 17, 999999999, 3};
  EXPECT_EQ(multiply_small(words.data(), 0, 5, 2), 5);
  std::vector<Word> kept = {0, 0, 17, 999999999, 3};
  std::vector<Word> copy = kept;
  EXPECT_EQ(divide_small(copy.data(), 7, 5, 5), 5);
  EXPECT_EQ(copy, kept);
}

TEST(WordRoutines, AgreeWithGmpOnRandomOperands) {
  std::mt19937 rng(12345);
  std::uniform_int_distribution<std::uint32_t> small(1, 0xFFFFFFFFu);
  Mpz a, b, expected;
  for (int round = 0; round < 3000; ++round) {
    std::int32_t count = std::uniform_int_distribution<std::int32_t>(1, 40)(rng);
    std::int32_t zeros = std::uniform_int_distribution<std::int32_t>(0, count)(rng);
    // from is any lower bound on the first non-zero word
    std::int32_t from = std::uniform_int_distribution<std::int32_t>(0, zeros)(rng);

    // Division: floor(a / d), truncated, with the first non-zero word of the quotient.
    std::vector<Word> x = random_words(rng, count, zeros);
    std::uint32_t d = round % 3 == 0 ? small(rng) % 1000 + 1 : small(rng);
    words_to_mpz(a.v, x.data(), count);
    mpz_fdiv_q_ui(expected.v, a.v, d);
    std::int32_t first = divide_small(x.data(), d, count, from);
    ASSERT_EQ(x, mpz_to_words(expected.v, count)) << "divide round " << round;
    ASSERT_EQ(first, first_nonzero_of(x)) << "divide round " << round;

    // Multiplication by m, kept below 10^(9 count) by leaving the top word zero.
    std::int32_t mzeros = zeros > 0 ? zeros : 1;
    if (mzeros < count) {
      std::vector<Word> y = random_words(rng, count, mzeros);
      std::uint32_t m = std::uniform_int_distribution<std::uint32_t>(1, WORD_BASE - 1)(rng);
      std::int32_t mfrom = std::uniform_int_distribution<std::int32_t>(0, mzeros)(rng);
      words_to_mpz(a.v, y.data(), count);
      mpz_mul_ui(expected.v, a.v, m);
      first = multiply_small(y.data(), m, count, mfrom);
      ASSERT_EQ(y, mpz_to_words(expected.v, count)) << "multiply round " << round;
      ASSERT_EQ(first, first_nonzero_of(y)) << "multiply round " << round;
    }

    // Subtraction a - b for b <= a, b zero below from.
    std::vector<Word> minuend = random_words(rng, count, 0);
    std::vector<Word> subtrahend = random_words(rng, count, zeros);
    words_to_mpz(a.v, minuend.data(), count);
    words_to_mpz(b.v, subtrahend.data(), count);
    if (mpz_cmp(a.v, b.v) < 0) std::swap(minuend, subtrahend), mpz_swap(a.v, b.v);
    if (first_nonzero_of(subtrahend) < from) continue;
    mpz_sub(expected.v, a.v, b.v);
    subtract_words(minuend.data(), subtrahend.data(), count, from);
    ASSERT_EQ(minuend, mpz_to_words(expected.v, count)) << "subtract round " << round;
  }
}

}  // namespace
