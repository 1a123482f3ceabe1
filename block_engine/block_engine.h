// The series for runs that can be broken off, in binary with GMP: the loop's exact states, block
// by block (see block_tree.h), each block's products built on the second thread while the one
// before it runs. A stop gives the current block up, and the state at its start (the loop's at
// that index, word for word) is what goes back into words.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "numbers/calc_state.h"
#include "numbers/series_outcome.h"

#include "block_engine/block_tree.h"
#include "products/product.h"

// Between the engine's thread and the one that watches it.
struct BlockSignals {
  StopCheck stop;                            // asked at every node and between blocks
  std::atomic<std::uint32_t> reached{0};     // an index the engine has passed
  std::atomic<std::uint32_t> exact_word{0};  // the term's first non-zero word at the last block end
};

struct BlockEngine {
  std::uint32_t positions = 0;
  std::int32_t word_count = 0;
  std::uint32_t block_steps = 0;  // the most steps a block takes
  unsigned threads = 1;
  std::size_t parallel_limbs = 0;   // see ChainControl
  ProductBounds conversion_bounds;  // for the conversions between words and binary
};

// Settings for the tests and the benchmark; zeros choose what the memory allows.
struct BlockTuning {
  std::uint32_t block_steps = 0;
  unsigned threads = 0;  // 0: as many as the hardware has, at most 2
  std::size_t parallel_limbs = 0;
};

// Runs with fewer digit positions than this go to the sweep engine, which is quicker there
// (measured: 5 ms against 5 at 10^4 digits, 13 ms against 10 at 3 * 10^4, whole runs).
inline constexpr std::uint32_t BLOCK_ENGINE_MIN_POSITIONS = 30000;

// The engine's modelled peak of memory for a run from the state with blocks of `steps` steps:
// its arena (reserved whole, with room to spare).
double block_engine_peak_bytes(const CalcState& state, std::uint32_t steps);

// The steps of the blocks a run from the state takes so that the engine's modelled peak (its
// arena, reserved whole) is within `memory_room` bytes: a tenth
// of the run's steps where that fits, fewer (more, smaller blocks) where it does not; 0 when no
// block length fits.
std::uint32_t block_steps_within(const CalcState& state, std::uint64_t memory_room);

// Takes the engine for the state's computation (an allocated state, fresh or loaded) when its
// peak fits in `memory_room` bytes and its memory can be reserved: the state, the blocks'
// products and the conversions, sized for the digit count. Returns false, holding nothing,
// otherwise; the sweep engine must then run.
bool start_block_engine(const CalcState& state, std::uint64_t memory_room, BlockEngine* engine,
                        const BlockTuning& tuning = BlockTuning{});

// Gives back what start_block_engine reserved, for a run that does not take the engine after all.
void release_block_engine(BlockEngine* engine);

// Runs the series from the state on to its end, as the loop does: COMPLETED with the sum and the
// final index, LIMIT after subtracting the term at the index past the last, or INTERRUPTED once
// `signals.stop` is requested (at least one step is taken first), with the state at the start of
// the block it gave up, at most a block's steps behind the index reached. Leaves the state's sum,
// term, next_n and first_nonzero as the loop would; the clock is the caller's. Releases what
// start_block_engine reserved.
SeriesOutcome run_block_engine(BlockEngine* engine, CalcState* state, BlockSignals* signals);

// The progress to show while the engine runs: the exact first non-zero word of the term at the
// last block end, or the estimate for the index reached when that is further, never the whole.
std::uint32_t block_progress(const BlockEngine& engine, const BlockSignals& signals);
