// The engine reaches exactly the states of the literal loop: the same words of sum and term and
// the same next_n, inside a run and at its end, for every sweep length.
#include <gtest/gtest.h>

#include <random>

#include "numbers/series_constants.h"
#include "series/series_tuning.h"
#include "series_runs.h"

namespace {

std::uint32_t no_clock() { return 0; }

// Stop rules for the runs below: after a number of polls (series_runs.h), or when a state reaches
// an index.
const CalcState* watched = nullptr;
std::uint32_t stop_index = 0;
bool stop_at_index() { return watched->next_n == stop_index; }

// Which engine the runs below use: the portable kernel only or the fastest the processor has, on
// one thread or two; with two, sweeps are paired however few wide words they cover and the threads
// meet every few steps, so that every hand-over happens on small numbers.
bool portable_only = false;
int threads = 1;
int gate_stages = 1;

SeriesControl control_with(bool (*stop)()) {
  SeriesControl control;
  control.checkpoint_set = true;
  control.read_clock = no_clock;
  control.stop_requested = stop;
  return control;
}

SeriesTuning tuning_with(int terms_per_sweep) {
  SeriesTuning tuning;
  tuning.portable_engine_only = portable_only;
  tuning.threads = threads;
  tuning.pairing_threshold = 1;
  tuning.gate_stages = gate_stages;
  tuning.terms_per_sweep = terms_per_sweep;
  return tuning;
}

// Runs the literal loop on `state` until next_n reaches `index` (or the loop ends by itself).
SeriesOutcome literal_until(CalcState* state, std::uint32_t index) {
  watched = state;
  stop_index = index;
  return run_series_literal(state, control_with(stop_at_index));
}

// A fresh computation of `digits` positions, or one that starts from term t_1 at index `next_n`.
void start(CalcState* state, std::uint32_t digits, std::uint32_t next_n) {
  ASSERT_TRUE(calc_start_fresh(state, digits, 0, 1));
  state->next_n = next_n;
}

// Interrupts the engine after `polls` sweeps, compares with the literal state at that index,
// then lets both finish and compares again. The engine resumes from the words it handed back.
void expect_same_states(std::uint32_t digits, std::uint32_t next_n, int terms_per_sweep,
                        int polls) {
  CalcState engine, literal;
  start(&engine, digits, next_n);
  start(&literal, digits, next_n);
  stop_at_poll(polls < 0 ? -1 : polls + 1);
  SeriesOutcome engine_outcome =
      run_series_tuned(&engine, control_with(polled_stop), tuning_with(terms_per_sweep));
  if (engine_outcome == SeriesOutcome::INTERRUPTED) {
    ASSERT_EQ(literal_until(&literal, engine.next_n), SeriesOutcome::INTERRUPTED)
        << "D " << digits << " S " << terms_per_sweep;
    ASSERT_EQ(image_of(engine), image_of(literal)) << "D " << digits << " S " << terms_per_sweep;
    stop_at_poll(-1);
    engine_outcome =
        run_series_tuned(&engine, control_with(polled_stop), tuning_with(terms_per_sweep));
  }
  SeriesOutcome literal_outcome = literal_until(&literal, 0);
  ASSERT_EQ(engine_outcome, literal_outcome) << "D " << digits << " S " << terms_per_sweep;
  ASSERT_EQ(image_of(engine), image_of(literal)) << "D " << digits << " S " << terms_per_sweep;
  if (engine_outcome == SeriesOutcome::COMPLETED) {
    ASSERT_EQ(engine.first_nonzero, engine.word_count);
  }
  calc_release(&engine);
  calc_release(&literal);
}

class SeriesEngine : public ::testing::TestWithParam<std::tuple<bool, int>> {
 protected:
  void SetUp() override {
    portable_only = std::get<0>(GetParam());
    threads = std::get<1>(GetParam());
    if (!portable_only && !processor_engine_available()) {
      GTEST_SKIP() << "this processor has no engine beyond the portable one (AVX-512 IFMA)";
    }
  }
};

INSTANTIATE_TEST_SUITE_P(Engines, SeriesEngine,
                         ::testing::Combine(::testing::Values(true, false),
                                            ::testing::Values(1, 2)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) ? "Portable" : "Fastest") +
                                  (std::get<1>(info.param) == 2 ? "TwoThreads" : "OneThread");
                         });

TEST_P(SeriesEngine, SameStatesForEveryDigitCountUpTo3000) {
  std::mt19937 rng(2024);
  for (std::uint32_t digits = 1; digits <= 3000; ++digits) {
    int terms = static_cast<int>(digits % 41);  // 0: the engine's own choice
    int polls = std::uniform_int_distribution<int>(0, 40)(rng);
    gate_stages = 1 + static_cast<int>(digits % 5);
    expect_same_states(digits, 1, terms, polls);
    if (HasFatalFailure()) return;
  }
}

TEST_P(SeriesEngine, SameStatesForRandomLargerCounts) {
  std::mt19937 rng(77);
  for (int round = 0; round < 4; ++round) {
    std::uint32_t digits = std::uniform_int_distribution<std::uint32_t>(3001, 40000)(rng);
    expect_same_states(digits, 1, 0, std::uniform_int_distribution<int>(1, 400)(rng));
  }
  expect_same_states(std::uniform_int_distribution<std::uint32_t>(60000, 100000)(rng), 1, 0, 300);
}

TEST_P(SeriesEngine, SameStatesFromLargeIndices) {
  // Large multipliers and divisors: the divisor (2n+2)K around 2^50, where the processor-specific
  // engine hands over to the portable one, and indices up to the limit.
  const std::uint32_t indices[] = {8000000,
                                   8539000,
                                   8539100,
                                   8541000,
                                   100000000,
                                   LAST_SERIES_INDEX - 20,
                                   LAST_SERIES_INDEX - 3,
                                   LAST_SERIES_INDEX,
                                   LAST_SERIES_INDEX + 1,
                                   0xFFFFFFFFu};
  for (std::uint32_t next_n : indices) {
    for (std::uint32_t digits : {1u, 40u, 500u, 3000u}) {
      for (int terms : {1, 3, 8, 0}) {
        expect_same_states(digits, next_n, terms, 1);
        expect_same_states(digits, next_n, terms, -1);
      }
    }
  }
}

TEST_P(SeriesEngine, LimitEndsBothLoopsAtTheSameIndex) {
  CalcState engine;
  start(&engine, 2000, LAST_SERIES_INDEX - 5);
  stop_at_poll(-1);
  EXPECT_EQ(run_series_tuned(&engine, control_with(polled_stop), tuning_with(8)),
            SeriesOutcome::LIMIT);
  EXPECT_EQ(engine.next_n, LAST_SERIES_INDEX + 1);
  calc_release(&engine);
}

}  // namespace
