// The series loop: digits against GMP, term counts, outcomes and the clock.
#include <gtest/gtest.h>

#include <functional>

#include "numbers/series_constants.h"
#include "reference.h"
#include "series_runs.h"
#include "series/series_tuning.h"

namespace {

std::uint32_t clock_reads = 0;
std::uint32_t fake_clock() { return 1000u * ++clock_reads; }

SeriesControl test_control(bool checkpoint_set) {
  clock_reads = 0;
  SeriesControl control;
  control.checkpoint_set = checkpoint_set;
  control.read_clock = fake_clock;
  control.stop_requested = polled_stop;
  return control;
}

// The digits at positions 1 .. digits-1 of the number.
std::string digits_of(const CalcState& state) {
  std::string text;
  for (std::int32_t i = 1; i < static_cast<std::int32_t>(state.positions); ++i) {
    text.push_back(static_cast<char>('0' + digit_at(state.sum, i)));
  }
  return text;
}

struct Completed {
  std::string digits;
  std::uint32_t next_n;
  SeriesOutcome outcome;
};

Completed compute(std::uint32_t requested) {
  CalcState state;
  EXPECT_TRUE(calc_start_fresh(&state, requested + 1, 0, 1));
  stop_at_poll(-1);
  SeriesOutcome outcome = run_series(&state, test_control(true));
  scale_to_sqrt2(&state, fake_clock());
  EXPECT_EQ(digit_at(state.sum, 0), 1);
  Completed result{digits_of(state), state.next_n, outcome};
  calc_release(&state);
  return result;
}

TEST(Series, DigitsMatchGmpForEveryCountUpTo300) {
  for (std::uint32_t n = 1; n <= 300; ++n) {
    Completed run = compute(n);
    ASSERT_EQ(run.outcome, SeriesOutcome::COMPLETED);
    ASSERT_EQ(run.digits, sqrt2_digits(n)) << n << " digits";
  }
}

TEST(Series, DigitsMatchGmpForASpreadOfCounts) {
  for (std::uint32_t n :
       {359u, 360u, 361u, 997u, 1000u, 1001u, 2047u, 4096u, 7777u, 12345u, 20000u}) {
    EXPECT_EQ(compute(n).digits, sqrt2_digits(n)) << n << " digits";
  }
}

TEST(Series, IndexOfTheFirstZeroTerm) {
  EXPECT_EQ(compute(1).next_n, 7u);
  EXPECT_EQ(compute(10).next_n, 8u);
  EXPECT_EQ(compute(100).next_n, 20u);
  EXPECT_EQ(compute(1000).next_n, 135u);
}

TEST(Series, StopRequestEndsTheLoopOnlyWithACheckpointPath) {
  SeriesTuning one_term_per_sweep;
  one_term_per_sweep.terms_per_sweep = 1;
  using Series = std::function<SeriesOutcome(CalcState*, const SeriesControl&)>;
  const Series engine = [&](CalcState* state, const SeriesControl& control) {
    return run_series_tuned(state, control, one_term_per_sweep);
  };
  for (const Series& series : {Series(run_series_literal), engine}) {
    CalcState state;
    ASSERT_TRUE(calc_start_fresh(&state, 1001, 0, 1));
    stop_at_poll(5);
    EXPECT_EQ(series(&state, test_control(true)), SeriesOutcome::INTERRUPTED);
    EXPECT_EQ(state.next_n, 6u);  // five terms subtracted, the sixth held
    EXPECT_EQ(clock_reads, 1u);   // the interruption accounts the time at once
    calc_release(&state);

    ASSERT_TRUE(calc_start_fresh(&state, 1001, 0, 1));
    EXPECT_EQ(series(&state, test_control(false)), SeriesOutcome::COMPLETED);
    EXPECT_EQ(state.next_n, 135u);
    calc_release(&state);
  }
}

TEST(Series, EngineStopsAtTheEndOfItsSweep) {
  CalcState state;
  ASSERT_TRUE(calc_start_fresh(&state, 1001, 0, 1));
  stop_at_poll(2);
  SeriesTuning eight_terms_per_sweep;
  eight_terms_per_sweep.terms_per_sweep = 8;
  EXPECT_EQ(run_series_tuned(&state, test_control(true), eight_terms_per_sweep),
            SeriesOutcome::INTERRUPTED);
  EXPECT_EQ(state.next_n, 17u);
  calc_release(&state);
}

TEST(Series, ClockIsReadEveryHundredIterations) {
  CalcState state;
  ASSERT_TRUE(calc_start_fresh(&state, 2001, 0, 1));
  stop_at_poll(-1);
  SeriesControl control = test_control(true);
  state.last_clock = 0;
  ASSERT_EQ(run_series(&state, control), SeriesOutcome::COMPLETED);
  ASSERT_GT(state.next_n, 200u);
  ASSERT_LT(state.next_n, 300u);
  EXPECT_EQ(clock_reads, 2u);  // at n = 100 and n = 200
  EXPECT_EQ(state.elapsed_ms, 2000u);
  scale_to_sqrt2(&state, 2500);
  EXPECT_EQ(state.elapsed_ms, 2500u);
  calc_release(&state);
}

TEST(Series, ClockDifferencesWrapModulo32Bits) {
  CalcState state;
  state.elapsed_ms = 0xFFFFFFFFull;
  state.last_clock = 0xFFFFFF00u;
  calc_account_time(&state, 0x100u);
  EXPECT_EQ(state.elapsed_ms, 0xFFFFFFFFull + 0x200u);  // carried into the upper half
  EXPECT_EQ(state.last_clock, 0x100u);
}

TEST(Series, IterationLimitComesAfterTheSubtraction) {
  CalcState state;
  ASSERT_TRUE(calc_start_fresh(&state, 11, 0, 1));
  state.next_n = LAST_SERIES_INDEX;
  std::vector<Word> before(state.sum, state.sum + state.word_count);
  stop_at_poll(-1);
  EXPECT_EQ(run_series(&state, test_control(true)), SeriesOutcome::LIMIT);
  // n = 499999998 still forms its successor; n = 499999999 is subtracted and stops the loop.
  EXPECT_EQ(state.next_n, LAST_SERIES_INDEX + 1);
  EXPECT_NE(std::vector<Word>(state.sum, state.sum + state.word_count), before);
  calc_release(&state);
}

// No file that a run can write holds an index near the limit (the run sequence refuses such a
// state), so the limit is reached from an interrupted state moved there in memory.
TEST(Series, InterruptedStateMovedPastTheLimitRunsIntoIt) {
  CalcState state;
  ASSERT_TRUE(calc_start_fresh(&state, 101, 0, 1));
  SeriesTuning one_poll_per_term;
  one_poll_per_term.terms_per_sweep = 1;
  stop_at_poll(5);
  ASSERT_EQ(run_series_tuned(&state, test_control(true), one_poll_per_term),
            SeriesOutcome::INTERRUPTED);
  state.next_n = LAST_SERIES_INDEX + 1;
  stop_at_poll(-1);
  EXPECT_EQ(run_series_tuned(&state, test_control(true), one_poll_per_term), SeriesOutcome::LIMIT);
  EXPECT_EQ(state.next_n, LAST_SERIES_INDEX + 1);
  calc_release(&state);
}

TEST(Series, ZeroTermCompletesAtOnce) {
  CalcState state;
  ASSERT_TRUE(calc_start_fresh(&state, 11, 0, 1));
  std::fill(state.term, state.term + state.word_count, 0u);
  state.first_nonzero = state.word_count;
  state.next_n = 42;
  stop_at_poll(1);
  EXPECT_EQ(run_series(&state, test_control(true)), SeriesOutcome::COMPLETED);
  EXPECT_EQ(state.next_n, 42u);
  EXPECT_EQ(polls_made(), 0);
  calc_release(&state);
}

}  // namespace
