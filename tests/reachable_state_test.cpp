// Every state a run passes through, and so every state a save can write, is taken for reachable;
// a state moved off the loop's path is not.
#include <gtest/gtest.h>

#include <vector>

#if defined(TINDERMOSS_HAVE_GMP_ROUTES)
#include "exact_terms/reachable_state_exact.h"
#endif
#include "series/reachable_state.h"
#include "series/series.h"

namespace {

const CalcState* running = nullptr;

bool reachable(const CalcState& state) {
#if defined(TINDERMOSS_HAVE_GMP_ROUTES)
  if (!series_state_reachable(state)) return false;
#endif
  return series_state_plausible(state);
}

// Runs the loop one term at a time, checking every state on the way and at the end.
void expect_every_state_reachable(std::uint32_t positions) {
  CalcState state;
  ASSERT_TRUE(calc_start_fresh(&state, positions, 0, 1));
  running = &state;
  SeriesControl control;
  control.checkpoint_set = true;
  control.read_clock = [] { return 0u; };
  control.stop_requested = [] { return true; };
  SeriesOutcome outcome = SeriesOutcome::INTERRUPTED;
  while (outcome == SeriesOutcome::INTERRUPTED) {
    ASSERT_TRUE(reachable(state)) << "D " << positions << " n " << state.next_n;
    outcome = run_series_literal(&state, control);
  }
  ASSERT_EQ(outcome, SeriesOutcome::COMPLETED);
  ASSERT_TRUE(reachable(state)) << "D " << positions << " final n " << state.next_n;
  state.next_n += 1;
#if defined(TINDERMOSS_HAVE_GMP_ROUTES)
  EXPECT_FALSE(reachable(state)) << "D " << positions << " a zero term past the final index";
#endif
  calc_release(&state);
}

TEST(ReachableState, EveryStateOfARunIsTaken) {
  for (std::uint32_t positions = 1; positions <= 3000; positions += positions < 200 ? 1 : 97) {
    expect_every_state_reachable(positions);
    if (HasFatalFailure()) return;
  }
  expect_every_state_reachable(20001);
}

TEST(ReachableState, StatesOffThePathAreRefused) {
  CalcState state;
  ASSERT_TRUE(calc_start_fresh(&state, 1001, 0, 1));
  std::vector<Word> fresh_term(state.term, state.term + state.word_count);
  state.term[state.word_count - 1] += 1;  // the fresh state alone is taken at n = 1
  EXPECT_FALSE(series_state_plausible(state));
  std::copy(fresh_term.begin(), fresh_term.end(), state.term);
  state.next_n = 2;  // term 1 held at index 2
  EXPECT_FALSE(series_state_plausible(state));
  state.sum[0] = WORD_ONE - 1;
  EXPECT_FALSE(series_state_plausible(state));
  calc_release(&state);
}

}  // namespace
