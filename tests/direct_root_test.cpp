// The direct route gives the series' digits and final term index, or declines.
#include <gtest/gtest.h>

#include <random>

#include "capture.h"
#include "compute/direct_root.h"
#include "compute/series.h"
#include "output/progress.h"
#include "output/result_writer.h"
#include "reference.h"

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

void expect_same_as_series(std::uint32_t digits) {
  SeriesResult series = run_the_series(digits);
  DirectRoot root;
  ASSERT_TRUE(compute_direct_root(digits, 100, &root)) << digits;
  EXPECT_EQ(root.final_n, series.final_n) << digits;
  EXPECT_EQ(std::string(root.digit_chars, digits - 1), series.digits) << digits;
  release_direct_root(&root);
}

class DirectRootTest : public ::testing::Test {
 protected:
  void SetUp() override { progress_start(bar.stream, 100); }
  CapturedStream bar;
};

TEST_F(DirectRootTest, SameResultAsTheSeriesForEveryCountUpTo2000) {
  for (std::uint32_t digits = 2; digits <= 2001; ++digits) {
    expect_same_as_series(digits);
    if (HasFailure()) return;
  }
  expect_same_as_series(1);
}

TEST_F(DirectRootTest, SameResultAsTheSeriesForRandomCounts) {
  std::mt19937 rng(31337);
  for (int round = 0; round < 12; ++round) {
    expect_same_as_series(std::uniform_int_distribution<std::uint32_t>(2002, 100000)(rng));
  }
}

TEST_F(DirectRootTest, FinalTermIndexAgreesWithTheSeries) {
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

TEST_F(DirectRootTest, SettlingTheWindowByTheExactChainAgrees) {
  TermCountHooks everything_in_the_window;
  everything_in_the_window.window_width = 1e17;  // beyond any T_(N-1) < 4K
  for (std::uint32_t digits = 1; digits <= 3000; ++digits) {
    std::uint32_t index = 0;
    ASSERT_TRUE(final_term_index(digits, &index, everything_in_the_window)) << digits;
    ASSERT_EQ(index, run_the_series(digits).final_n) << digits;
  }
}

TEST_F(DirectRootTest, DeclinesWhenTheDigitsAfterTheLastCouldChangeIt) {
  DirectRootHooks ambiguous;
  ambiguous.pretend_ambiguous_digits = true;
  DirectRoot root;
  EXPECT_FALSE(compute_direct_root(1000, 100, &root, ambiguous));
  EXPECT_EQ(root.digit_chars, nullptr);
}

TEST_F(DirectRootTest, PlainConversionWhenTheSplitIsInDoubt) {
  DirectRootHooks uncertain;
  uncertain.pretend_doubtful_conversion = true;
  for (std::uint32_t digits : {2u, 77u, 12346u}) {
    DirectRoot root;
    ASSERT_TRUE(compute_direct_root(digits, 100, &root, uncertain));
    EXPECT_EQ(std::string(root.digit_chars, digits - 1), sqrt2_digits(digits - 1));
    release_direct_root(&root);
  }
}

TEST_F(DirectRootTest, MillionsOfDigitsAgainstGmp) {
  for (std::uint32_t requested : {1000000u, 10000000u}) {
    DirectRoot root;
    ASSERT_TRUE(compute_direct_root(requested + 1, 100, &root));
    EXPECT_TRUE(std::string(root.digit_chars, requested) == sqrt2_digits(requested)) << requested;
    release_direct_root(&root);
  }
}

class DirectRouteThreads : public ::testing::TestWithParam<unsigned> {
 protected:
  void SetUp() override { progress_start(bar.stream, 100); }
  CapturedStream bar;
};

TEST_P(DirectRouteThreads, GiveGmpsDigits) {
  DirectRootHooks threads;
  threads.threads = GetParam();
  for (std::uint32_t requested : {400u, 401u, 12345u, 200001u}) {
    DirectRoot root;
    ASSERT_TRUE(compute_direct_root(requested + 1, 100, &root, threads));
    EXPECT_TRUE(std::string(root.digit_chars, requested) == sqrt2_digits(requested)) << requested;
    release_direct_root(&root);
  }
}

INSTANTIATE_TEST_SUITE_P(Route, DirectRouteThreads, ::testing::Values(1u, 2u),
                         [](const ::testing::TestParamInfo<unsigned>& info) {
                           return info.param == 1 ? std::string("OneThread")
                                                  : std::string("TwoThreads");
                         });

TEST(ResultWriterSources, CharactersAndWordsGiveTheSameBytes) {
  std::mt19937 rng(5);
  for (std::uint32_t requested : {0u, 1u, 9u, 10u, 99u, 100u, 1001u, 36001u, 72345u}) {
    std::string digits;
    for (std::uint32_t i = 0; i < requested; ++i) digits += static_cast<char>('0' + rng() % 10);
    std::vector<Word> sum = fixed_from_digits(digits, words_for_digits(requested + 1));
    for (std::uint32_t format = 0; format <= 3; ++format) {
      for (std::uint32_t lead = 0; lead <= 1; ++lead) {
        CapturedStream bar, from_words, from_chars;
        progress_start(bar.stream, requested + 1);
        write_digits(from_words.stream, sum.data(), requested + 1, format, lead);
        write_digit_chars(from_chars.stream, digits.data(), requested + 1, format, lead);
        ASSERT_EQ(from_words.bytes(), from_chars.bytes()) << requested << " " << format << " " << lead;
      }
    }
  }
}

}  // namespace
