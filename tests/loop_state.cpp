#include "loop_state.h"

#include <gtest/gtest.h>

#include "checkpoint/checkpoint_file.h"
#include "series/series.h"
#include "series/series_tuning.h"
#include "stored_words.h"

void literal_state_at(CalcState* state, std::uint32_t digits, std::uint32_t next_n) {
  constexpr int SWEEP = 64;
  static std::uint32_t stop_at;
  static CalcState* running;
  stop_at = next_n;
  running = state;
  ASSERT_TRUE(calc_start_fresh(state, digits, 0, 1));
  SeriesControl control;
  control.checkpoint_set = true;
  control.read_clock = [] { return 0u; };
  control.stop_requested = [] { return running->next_n + SWEEP >= stop_at; };
  SeriesTuning tuning;
  tuning.terms_per_sweep = SWEEP;
  tuning.threads = 1;  // one sweep between two polls: two threads would form two at once
  if (next_n > SWEEP + 1) {
    EXPECT_EQ(run_series_tuned(state, control, tuning), SeriesOutcome::INTERRUPTED);
  }
  control.stop_requested = [] { return running->next_n == stop_at; };
  if (state->next_n < next_n) {
    EXPECT_EQ(run_series_literal(state, control), SeriesOutcome::INTERRUPTED);
  }
  EXPECT_EQ(state->next_n, next_n);
}

void expect_literal_checkpoint(const std::string& saved, std::uint32_t digits) {
  ASSERT_GE(saved.size(), 24u);
  std::uint32_t next_n = u32_at(saved, 20);
  CalcState state;
  literal_state_at(&state, digits, next_n);
  ASSERT_EQ(static_cast<std::int64_t>(saved.size()), checkpoint_size(state.word_count));
  EXPECT_EQ(u32_at(saved, 0), digits);
  for (std::int32_t k = 0; k < state.word_count; ++k) {
    ASSERT_EQ(u32_at(saved, 24 + 4 * static_cast<std::size_t>(k)), state.sum[k]) << k;
    ASSERT_EQ(u32_at(saved, 24 + 4 * static_cast<std::size_t>(state.word_count + k)), state.term[k])
        << k;
  }
  calc_release(&state);
}
