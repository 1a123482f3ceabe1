// The direct route gives the series' digits and final term index, or declines.
#include <gtest/gtest.h>

#include <random>

#include "direct_route/direct_root.h"
#include "direct_route/direct_root_parts.h"
#include "exact_terms/term_count.h"
#include "reference.h"
#include "series/series.h"
#include "platform/available_memory.h"
#include "products/product.h"

namespace {

std::uint32_t no_clock() { return 0; }
bool never_stop() { return false; }

struct SeriesResult {
  std::string digits;  // positions 1 .. D-1
  std::uint32_t final_n;
};

SeriesResult run_the_series(std::uint32_t digits) {
  CalcState state;
  EXPECT_TRUE(calc_start_fresh(&state, digits, 0, 1));
  SeriesControl control;
  control.read_clock = no_clock;
  control.stop_requested = never_stop;
  EXPECT_EQ(run_series(&state, control), SeriesOutcome::COMPLETED);
  scale_to_sqrt2(&state, 0);
  SeriesResult result{"", state.next_n};
  for (std::int32_t i = 1; i < static_cast<std::int32_t>(digits); ++i) {
    result.digits.push_back(static_cast<char>('0' + digit_at(state.sum, i)));
  }
  calc_release(&state);
  return result;
}

// The route's result for `positions` on `threads` threads; false when it declines.
bool direct_result(std::uint32_t positions, DirectRoot* root, unsigned threads = 0) {
  return start_direct_root(positions, MEMORY_UNKNOWN, root) &&
         compute_direct_root(root, ProgressSink{}, 100, threads);
}

void expect_same_as_series(std::uint32_t digits) {
  SeriesResult series = run_the_series(digits);
  DirectRoot root;
  ASSERT_TRUE(direct_result(digits, &root)) << digits;
  EXPECT_EQ(root.final_n, series.final_n) << digits;
  EXPECT_EQ(std::string(root.digit_chars, digits - 1), series.digits) << digits;
  release_direct_root(&root);
}

TEST(DirectRootTest, SameResultAsTheSeriesForEveryCountUpTo2000) {
  for (std::uint32_t digits = 2; digits <= 2001; ++digits) {
    expect_same_as_series(digits);
    if (HasFailure()) return;
  }
  expect_same_as_series(1);
}

TEST(DirectRootTest, SameResultAsTheSeriesForRandomCounts) {
  std::mt19937 rng(31337);
  for (int round = 0; round < 12; ++round) {
    expect_same_as_series(std::uniform_int_distribution<std::uint32_t>(2002, 100000)(rng));
  }
}

TEST(DirectRootTest, FinalTermIndexAgreesWithTheSeries) {
  for (std::uint32_t digits = 1; digits <= 20000; digits += (digits < 3000 ? 1 : 7)) {
    std::uint32_t index = 0;
    ASSERT_TRUE(final_term_index(digits, &index)) << digits;
    SeriesResult series = run_the_series(digits);
    ASSERT_EQ(index, series.final_n) << digits;
  }
  std::mt19937 rng(4242);
  for (int round = 0; round < 3; ++round) {
    std::uint32_t digits = std::uniform_int_distribution<std::uint32_t>(20001, 400000)(rng);
    std::uint32_t index = 0;
    ASSERT_TRUE(final_term_index(digits, &index)) << digits;
    EXPECT_EQ(index, run_the_series(digits).final_n) << digits;
  }
}

TEST(DirectRootTest, SettlingTheWindowByTheExactChainAgrees) {
  const double everything_in_the_window = 1e17;  // beyond any T_(N-1) < 4K
  for (std::uint32_t digits = 1; digits <= 3000; ++digits) {
    std::uint32_t index = 0;
    ASSERT_TRUE(final_term_index(digits, &index, everything_in_the_window)) << digits;
    ASSERT_EQ(index, run_the_series(digits).final_n) << digits;
  }
}

TEST(DirectRootTest, DeclinesWhenTheDigitsAfterTheLastCouldChangeIt) {
  for (char digit : {'0', '9'}) {
    std::string after_last(CHECKED_DIGITS, digit);
    EXPECT_TRUE(digits_leave_the_series_open(after_last.c_str())) << digit;
    after_last[CHECKED_DIGITS - 1] = '5';
    EXPECT_FALSE(digits_leave_the_series_open(after_last.c_str())) << digit;
    after_last[0] = '5';
    after_last[CHECKED_DIGITS - 1] = digit;
    EXPECT_FALSE(digits_leave_the_series_open(after_last.c_str())) << digit;
  }
  std::string mixed = std::string(CHECKED_DIGITS / 2, '0') + std::string(CHECKED_DIGITS / 2, '9');
  EXPECT_FALSE(digits_leave_the_series_open(mixed.c_str()));
}

TEST(DirectRootTest, PlainConversionGivesGmpsDigits) {
  for (std::uint64_t places : {1u, 76u, 12345u}) {
    std::string chars(places + 2, '?');
    plain_root_digits(places, chars.data());
    EXPECT_EQ(chars.substr(0, places), sqrt2_digits(static_cast<std::uint32_t>(places)));
  }
}

TEST(DirectRootTest, MillionsOfDigitsAgainstGmp) {
  for (std::uint32_t requested : {1000000u, 10000000u}) {
    DirectRoot root;
    ASSERT_TRUE(direct_result(requested + 1, &root));
    EXPECT_TRUE(std::string(root.digit_chars, requested) == sqrt2_digits(requested)) << requested;
    release_direct_root(&root);
  }
}

// Where the memory is too short for the FFT's scratch, the route runs on GMP's products alone, and
// not at all with less than that needs.
TEST(DirectRootTest, GmpsProductsAloneWhereTheFftsScratchDoesNotFit) {
  constexpr std::uint32_t requested = 1000000;
  const bool fft_in_this_build = fft_takes(FFT_PRODUCT_MIN_LIMBS, FFT_PRODUCT_MIN_LIMBS);
  const auto least = static_cast<std::uint64_t>(direct_root_peak_bytes(requested + 1));
  DirectRoot root;
  EXPECT_FALSE(start_direct_root(requested + 1, least - 1, &root));
  ASSERT_TRUE(start_direct_root(requested + 1, least + 1, &root));
  EXPECT_FALSE(fft_takes(FFT_PRODUCT_MIN_LIMBS, FFT_PRODUCT_MIN_LIMBS));
  ASSERT_TRUE(compute_direct_root(&root, ProgressSink{}, 100, 0));
  EXPECT_TRUE(std::string(root.digit_chars, requested) == sqrt2_digits(requested));
  release_direct_root(&root);
  ASSERT_TRUE(start_direct_root(requested + 1, MEMORY_UNKNOWN, &root));
  EXPECT_EQ(fft_takes(FFT_PRODUCT_MIN_LIMBS, FFT_PRODUCT_MIN_LIMBS), fft_in_this_build);
  release_direct_root(&root);
}

class DirectRouteThreads : public ::testing::TestWithParam<unsigned> {};

TEST_P(DirectRouteThreads, GiveGmpsDigits) {
  for (std::uint32_t requested : {400u, 401u, 12345u, 200001u}) {
    DirectRoot root;
    ASSERT_TRUE(direct_result(requested + 1, &root, GetParam()));
    EXPECT_TRUE(std::string(root.digit_chars, requested) == sqrt2_digits(requested)) << requested;
    release_direct_root(&root);
  }
}

INSTANTIATE_TEST_SUITE_P(Route, DirectRouteThreads, ::testing::Values(1u, 2u),
                         [](const ::testing::TestParamInfo<unsigned>& info) {
                           return info.param == 1 ? std::string("OneThread")
                                                  : std::string("TwoThreads");
                         });

}  // namespace
