// The block-splitting engine reaches exactly the literal loop's states: at the end of a run, at
// the start of whatever block a stop gives up, after a resume, near the iteration limit, and across
// checkpoints handed between it and the sweep engine.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "block_engine/block_chain.h"
#include "block_engine/block_engine.h"
#include "block_engine/block_tree.h"
#include "exact_terms/exact_step.h"
#include "numbers/series_constants.h"
#include "series/series.h"
#include "series/series_tuning.h"
#include "series_runs.h"
#include "platform/available_memory.h"

namespace {

// How a run ended, and the state it ended in.
struct Snapshot {
  SeriesOutcome outcome;
  StateImage state;
  bool operator==(const Snapshot&) const = default;
};

Snapshot snapshot(SeriesOutcome outcome, const CalcState& state) {
  return {outcome, image_of(state)};
}

CalcState copy_of(const CalcState& state) {
  CalcState copy;
  copy.positions = state.positions;
  EXPECT_TRUE(calc_allocate(&copy, false));
  std::copy(state.sum, state.sum + state.word_count, copy.sum);
  std::copy(state.term, state.term + state.word_count, copy.term);
  copy.next_n = state.next_n;
  copy.first_nonzero = first_nonzero_word(state.term, state.word_count);
  return copy;
}

// The literal loop's and the sweep engine's stops: at an index, or never.
const CalcState* watched = nullptr;
std::uint32_t stop_index = 0;
bool stop_at_index() { return watched->next_n >= stop_index; }
std::uint32_t no_clock() { return 0; }

SeriesOutcome loop_until(CalcState* state, std::uint32_t index, bool sweep_engine = false) {
  watched = state;
  stop_index = index;
  SeriesControl control;
  control.checkpoint_set = true;
  control.read_clock = no_clock;
  control.stop_requested = stop_at_index;
  if (!sweep_engine) return run_series_literal(state, control);
  SeriesTuning tuning;
  tuning.threads = 1;
  return run_series_tuned(state, control, tuning);
}

Snapshot loop_to_end(CalcState state) {
  const SeriesOutcome outcome = loop_until(&state, UINT32_MAX);
  Snapshot end = snapshot(outcome, state);
  calc_release(&state);
  return end;
}

// The engine's stop: after a number of polls, counted from the start or from the first poll after
// the engine has passed an index; once requested, it stays requested.
struct PollCount {
  std::uint32_t from_index;
  const BlockSignals* signals;
  bool requested = false;
};
bool count_down(void* context) {
  PollCount* count = static_cast<PollCount*>(context);
  if (count->signals->reached.load() < count->from_index) return false;
  count->requested = count->requested || polled_stop();
  return count->requested;
}

SeriesOutcome block_engine_run(CalcState* state, const BlockTuning& tuning, std::uint64_t polls,
                               std::uint32_t from_index = 0, std::uint32_t* reached = nullptr) {
  BlockEngine engine;
  EXPECT_TRUE(start_block_engine(*state, MEMORY_UNKNOWN, &engine, tuning));
  BlockSignals signals;
  stop_at_poll(polls == UINT64_MAX ? -1 : static_cast<std::int64_t>(polls) + 1);
  PollCount count{from_index, &signals};
  signals.stop = StopCheck{count_down, &count};
  const SeriesOutcome outcome = run_block_engine(&engine, state, &signals);
  if (reached != nullptr) *reached = signals.reached.load();
  return outcome;
}

CalcState fresh(std::uint32_t positions) {
  CalcState state;
  EXPECT_TRUE(calc_start_fresh(&state, positions, 0, 1));
  return state;
}

// One engine run broken off after `polls` polls, compared with the loop at the index saved, which
// lies at most a block behind the index reached; then resumed to the end, compared with the
// loop's end. Returns whether the stop came first.
bool broken_off_and_resumed(std::uint32_t positions, const BlockTuning& tuning, std::uint64_t polls,
                            const Snapshot& end, std::uint32_t from_index = 0) {
  CalcState state = fresh(positions);
  std::uint32_t reached = 0;
  const SeriesOutcome outcome = block_engine_run(&state, tuning, polls, from_index, &reached);
  bool stopped = outcome == SeriesOutcome::INTERRUPTED;
  if (stopped) {
    EXPECT_LE(state.next_n, reached);
    EXPECT_LE(reached - state.next_n, tuning.block_steps);
    CalcState loop = fresh(positions);
    EXPECT_EQ(loop_until(&loop, state.next_n), SeriesOutcome::INTERRUPTED);
    EXPECT_EQ(snapshot(outcome, state), snapshot(SeriesOutcome::INTERRUPTED, loop))
        << "D " << positions << " stopped at " << state.next_n;
    calc_release(&loop);
    EXPECT_GE(state.next_n, 2u);
    EXPECT_EQ(state.first_nonzero, first_nonzero_word(state.term, state.word_count));
    const SeriesOutcome resumed = block_engine_run(&state, tuning, UINT64_MAX);
    EXPECT_EQ(snapshot(resumed, state), end) << "D " << positions << " resumed";
  } else {
    EXPECT_EQ(snapshot(outcome, state), end) << "D " << positions;
  }
  calc_release(&state);
  return stopped;
}

TEST(BlockEngine, EveryDigitCountToTheEndAndFromARandomBreak) {
  std::mt19937 random(20261207);
  int stopped = 0;
  for (std::uint32_t positions = 1; positions <= 3000; ++positions) {
    const Snapshot end = loop_to_end(fresh(positions));
    BlockTuning tuning;
    tuning.threads = 1;
    tuning.block_steps = 25 + positions % 170;  // trees of one node up to several levels
    CalcState whole = fresh(positions);
    EXPECT_EQ(snapshot(block_engine_run(&whole, tuning, UINT64_MAX), whole), end)
        << "D " << positions;
    calc_release(&whole);
    // A run of s steps polls about 2 s / 24 times: a break anywhere in it, or none.
    const std::uint64_t polls = random() % (end.state.next_n / 6 + 3);
    stopped += broken_off_and_resumed(positions, tuning, polls, end);
  }
  EXPECT_GT(stopped, 2000);
}

TEST(BlockEngine, LargerDigitCountsFreshAndResumedOnTwoThreads) {
  std::mt19937 random(7);
  for (std::uint32_t positions : {9001u, 20000u, 50000u}) {
    const Snapshot end = loop_to_end(fresh(positions));
    BlockTuning tuning;
    tuning.threads = 2;
    tuning.parallel_limbs = 1;  // q A and q G on the second thread at every node that has them
    tuning.block_steps = end.state.next_n / 5;
    for (int round = 0; round < 3; ++round) {
      EXPECT_TRUE(
          broken_off_and_resumed(positions, tuning, 1 + random() % (end.state.next_n / 10), end));
    }
    // A break at the first poll gives the first block up: the state after the first step.
    CalcState early = fresh(positions);
    ASSERT_EQ(block_engine_run(&early, tuning, 0), SeriesOutcome::INTERRUPTED);
    CalcState loop = fresh(positions);
    ASSERT_EQ(loop_until(&loop, 2), SeriesOutcome::INTERRUPTED);
    EXPECT_EQ(snapshot(SeriesOutcome::INTERRUPTED, early),
              snapshot(SeriesOutcome::INTERRUPTED, loop))
        << "D " << positions;
    EXPECT_EQ(early.first_nonzero, loop.first_nonzero);
    calc_release(&early);
    calc_release(&loop);
    // Breaks at the first block's end, at the next block's top, and at its first half (the first
    // block takes half the steps).
    const std::uint32_t second_block = 2 + (tuning.block_steps + 1) / 2;
    for (std::uint64_t polls : {0, 1, 2}) {
      EXPECT_TRUE(broken_off_and_resumed(positions, tuning, polls, end, second_block));
    }
    tuning.block_steps = 0;
    CalcState whole = fresh(positions);
    EXPECT_EQ(snapshot(block_engine_run(&whole, tuning, UINT64_MAX), whole), end)
        << "D " << positions;
    calc_release(&whole);
  }
}

// States that no run reaches, close to the last index: a term large enough to last past it, and
// one that vanishes just before.
TEST(BlockEngine, NearTheIterationLimitBothOutcomesAsTheLoop) {
  for (const int term_words : {80, 3}) {
    CalcState state;
    state.positions = 1000;
    ASSERT_TRUE(calc_allocate(&state, true));
    state.sum[0] = WORD_ONE - 1;
    for (std::int32_t k = 1; k < state.word_count; ++k) state.sum[k] = 123456789;
    for (std::int32_t k = state.word_count - term_words; k < state.word_count; ++k) {
      state.term[k] = 987654321;
    }
    state.next_n = LAST_SERIES_INDEX - 60;
    state.first_nonzero = state.word_count - term_words;
    const Snapshot end = loop_to_end(copy_of(state));
    EXPECT_EQ(end.outcome, term_words == 80 ? SeriesOutcome::LIMIT : SeriesOutcome::COMPLETED);
    BlockTuning tuning;
    tuning.threads = 1;
    tuning.block_steps = 50;
    EXPECT_EQ(snapshot(block_engine_run(&state, tuning, UINT64_MAX), state), end);
    calc_release(&state);
  }
}

// A state the sweep engine broke off, resumed here, and the other way round.
TEST(BlockEngine, CheckpointsPassBetweenTheSweepEngineAndThisOne) {
  const std::uint32_t positions = 30000;
  const Snapshot end = loop_to_end(fresh(positions));
  CalcState state = fresh(positions);
  ASSERT_EQ(loop_until(&state, end.state.next_n / 3, true), SeriesOutcome::INTERRUPTED);
  BlockTuning tuning;
  tuning.threads = 1;
  tuning.block_steps = end.state.next_n / 4;
  ASSERT_EQ(block_engine_run(&state, tuning, 40), SeriesOutcome::INTERRUPTED);
  ASSERT_LT(state.next_n, end.state.next_n);
  EXPECT_EQ(loop_until(&state, UINT32_MAX, true), SeriesOutcome::COMPLETED);
  EXPECT_EQ(snapshot(SeriesOutcome::COMPLETED, state), end);
  calc_release(&state);
}

// Where a tenth of the run's steps a block does not fit, more, shorter blocks do, down to the
// point where the state's own numbers in the engine leave no room; then the engine is not taken.
TEST(BlockEngine, BlockLengthFromTheMemoryThereIs) {
  CalcState state = fresh(10000001);
  const std::uint32_t usual = block_steps_within(state, MEMORY_UNKNOWN);
  ASSERT_GT(usual, 0u);
  const double usual_peak = block_engine_peak_bytes(state, usual);
  EXPECT_EQ(block_steps_within(state, static_cast<std::uint64_t>(usual_peak) + 1), usual);
  const auto tighter = static_cast<std::uint64_t>(usual_peak) - 1;
  const std::uint32_t shorter = block_steps_within(state, tighter);
  ASSERT_GT(shorter, 0u);
  EXPECT_LT(shorter, usual);
  EXPECT_LE(block_engine_peak_bytes(state, shorter), static_cast<double>(tighter));
  // The engine's own copies of the numbers, 23 of them at 0.415 bytes a digit, are 95 MB at
  // 10^7 digits: no block length fits in 90.
  EXPECT_EQ(block_steps_within(state, std::uint64_t{90} << 20), 0u);
  BlockEngine engine;
  EXPECT_FALSE(start_block_engine(state, std::uint64_t{90} << 20, &engine));
  ASSERT_TRUE(start_block_engine(state, tighter, &engine));
  EXPECT_EQ(engine.block_steps, shorter);
  release_block_engine(&engine);
  calc_release(&state);
}

// A block given up hands back its first term as the top's quotient and remainder, however far its
// chain had come; one run to its end leaves the term and the sum of the terms that steps taken
// one by one give.
TEST(BlockChain, AStopHandsBackTheFirstTermAsQuotientAndRemainder) {
  constexpr std::uint32_t first = 1000, steps = 700;
  gmp_randstate_t random;
  gmp_randinit_mt(random);
  mpz_t start, x, sum, given_up, expected;
  mpz_inits(start, x, sum, given_up, expected, nullptr);
  for (const int polls : {1, 2, 5, 40, -1}) {  // -1: no stop
    BlockTree tree;
    ASSERT_TRUE(
        build_block_tree(first, steps, StopCheck{[](void*) { return false; }, nullptr}, &tree));
    mpz_urandomb(start, random, static_cast<mp_bitcnt_t>(mpz_sizeinbase(tree.nodes[0].b, 2) + 900));
    mpz_set(x, start);
    int left = polls;
    ChainControl control;
    control.stop = StopCheck{[](void* count) { return --*static_cast<int*>(count) == 0; }, &left};
    const ChainResult result = run_block_chain(&tree, x, sum, control, given_up);
    if (result.steps_done < steps) {
      mpz_mul(expected, given_up, tree.nodes[0].b);
      mpz_add(expected, expected, x);
      EXPECT_EQ(mpz_cmp(expected, start), 0) << "stopped at poll " << polls;
      EXPECT_TRUE(mpz_sgn(given_up) == 0 || mpz_cmp(x, tree.nodes[0].b) < 0) << polls;
    } else {
      EXPECT_EQ(polls, -1);
      mpz_set_ui(expected, 0);
      for (std::uint32_t j = first; j < first + steps; ++j) {
        mpz_add(expected, expected, start);
        exact_step(start, j);
      }
      EXPECT_EQ(mpz_cmp(x, start), 0);
      EXPECT_EQ(mpz_cmp(sum, expected), 0);
    }
    release_block_tree(&tree);
  }
  mpz_clears(start, x, sum, given_up, expected, nullptr);
  gmp_randclear(random);
}

// A tree holds the products of its even depths and its leaves, unless its nodes are below the
// bound from which it lets products go; a node whose products it let go gets them back from its
// halves: A and B against the products of the node's own step factors.
TEST(BlockTree, KeepsEvenDepthsAndLeavesAndRebuildsTheRest) {
  for (const std::size_t lets_go_from : {std::size_t{0}, SIZE_MAX}) {
    BlockTree tree;
    ASSERT_TRUE(build_block_tree(1000, 700, StopCheck{[](void*) { return false; }, nullptr}, &tree,
                                 lets_go_from));
    std::vector<unsigned> depth(tree.count, 0);
    int dropped = 0;
    mpz_t a, b;
    mpz_inits(a, b, nullptr);
    for (std::uint32_t i = 0; i < tree.count; ++i) {
      BlockNode& node = tree.nodes[i];
      if (node.right != 0) depth[i + 1] = depth[node.right] = depth[i] + 1;
      const bool let_go = lets_go_from == 0 && node.right != 0 && depth[i] % 2 == 1;
      ASSERT_EQ(node_products_dropped(node), let_go) << "node " << i << " at depth " << depth[i];
      if (!let_go) continue;
      ++dropped;
      node_b_from_halves(&tree, i);
      node_a_g_from_halves(&tree, i);
      mpz_set_ui(a, 1);
      mpz_set_ui(b, 1);
      for (std::uint32_t j = node.first; j < node.first + node.steps; ++j) {
        mpz_mul_ui(a, a, 2 * j - 1);
        multiply_by_step_divisor(b, j);
      }
      EXPECT_EQ(mpz_cmp(node.a, a), 0) << "node " << i;
      EXPECT_EQ(mpz_cmp(node.b, b), 0) << "node " << i;
    }
    EXPECT_EQ(dropped > 2, lets_go_from == 0);
    mpz_clears(a, b, nullptr);
    release_block_tree(&tree);
  }
}

}  // namespace
