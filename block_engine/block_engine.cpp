#include "block_engine/block_engine.h"

#include <gmp.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <thread>

#include "block_engine/block_chain.h"
#include "block_engine/block_tree.h"
#include "exact_terms/exact_step.h"
#include "numbers/fixed_decimal.h"
#include "numbers/series_constants.h"
#include "numbers/term_estimate.h"
#include "platform/reserved_region.h"
#include "products/bit_counts.h"
#include "products/memory_arena.h"
#include "products/product.h"
#include "radix/decimal_tree.h"
#include "radix/integer_words.h"

namespace {

// Every step divides the term by more than K, so a term of b bits vanishes within
// b / log2(K) + 1 steps.
const double LOG2_K = std::log2(static_cast<double>(SERIES_X_DENOMINATOR));
// A run's steps in this many blocks at most: fewer blocks mean fewer passes over the whole term,
// more mean smaller products to hold. Measured on two cores: 129 s at 10^8 digits against 152 to
// 159 with 12 blocks, at 2.6 times plain GMP's resident memory; 10^7 digits about 0.4 s slower.
// Since, with FLINT's products and the freed pages waiting (PAGES_WAITING_PER_NUMBER), at 10^8
// digits 14 blocks took 39.6 to 39.9 s at 640 to 658 MB, 16 blocks 40.4 to 41.0 s at 612 to 616
// MB, where 10 blocks without the waiting pages took 41.3 to 42.7 s at 707 to 713 MB (plain GMP
// 20.4 s at 368 MB); at 10^7 no change of time, 82 MB against 87. At 10^9 digits (measured
// before) 7.35 GB with ten blocks, 6.46 GB with thirteen; fourteen make smaller trees still (not
// measured there).
constexpr double BLOCKS_PER_RUN = 14;
constexpr std::uint32_t SMALLEST_BLOCK = 64 * LEAF_STEPS;
// The next block's tree is begun when the current chain has come this far through its steps:
// later, less of the two trees is held at once; sooner, the tree may be done before the chain
// needs it. Measured with -r, runs alternating: at 10^8 digits 0.3 took 73.9-77.5 s at 706-723
// MiB (up to 2.01 times plain GMP's peak), 0.45 72.4-76.8 s at 698-709 MiB, 0.6 74.9-80.2 s at
// 674-683 MiB; at 10^7 0.6 was 0.3 s slower than the other two.
constexpr double NEXT_TREE_FROM = 0.45;
// Free runs of the arena below this keep their pages, so that the products' temporaries are not
// faulted in anew each time. Measured with -r at 10^8 digits: 1 MB 77 s (17 s of it in the
// system), 8 MB 69 s (9 s), 32 MB 69 s (6 s) at a peak of 909, 922 and 948 MB.
constexpr std::size_t KEEP_PAGES_BELOW = std::size_t{8} << 20;
// The pages larger free runs give back wait, up to this many numbers of the state's size and at
// most PAGES_WAITING_MAX bytes, so that the temporaries taken again where they were freed keep
// theirs (see arena_reserve). Measured with -r at 10^8 digits, 14 blocks, runs alternating: none
// 41.3 to 42.7 s with 7.4 to 7.5 s in the system, 96 MB 39.6 to 39.9 s (5.7 to 6.0 s), 128 MB 39.3
// to 39.9 s (4.9 to 5.2 s) at 640 to 682 MB; with 10 blocks 32 MB saved 1.2 s, 64 MB 2.5 s but
// peaked at 738 to 750 MB, past twice plain GMP's. Smaller runs may keep PAGES_WAITING_MIN
// waiting (a run holds no more pages than it has touched): at 10^7 digits, with the pages kept
// at the blocks' ends, five runs each in turn, 10 MB (2.5 numbers) took 2.78 s (median), 24 MB
// 2.77, 48 MB 2.72 and 96 MB 2.74 s, all at 89 MB but 96 MB at 94. With the conversions'
// preparation beside the first blocks, whose last step sets the peak, six runs each: 10 MB 2.65
// s, 24 MB 2.60 s and 48 MB 2.55 s, at 94, 95 and 111 MB.
constexpr double PAGES_WAITING_PER_NUMBER = 2.5;
constexpr double PAGES_WAITING_MIN = 24 << 20;
constexpr double PAGES_WAITING_MAX = 128 << 20;
// Nodes whose q A has this many limbs have it formed on the second thread (a thread of its own,
// whose FFT makes its tables anew). Measured with -r, five runs each in turn: at 10^7 digits 2000
// 2.98 to 3.30 s, 4000 2.86 to 3.03 s, 8000 2.98 to 3.19 s; at 10^8 no difference beyond the
// machine's own from run to run (38.7 to 44.8 s).
constexpr std::size_t PARALLEL_LIMBS = 4000;

// The steps at most left before a term of `bits` bits vanishes.
std::uint64_t steps_left(std::size_t bits) {
  return static_cast<std::uint64_t>(static_cast<double>(bits) / LOG2_K) + 2;
}

// Bytes of the binary form of a number of the state's size.
double state_number_bytes(std::int32_t word_count) { return 9.0 * word_count * BITS_PER_DIGIT / 8; }

// Bytes of a block's tree of `steps` steps ending near index `last`: every level it keeps (the
// even depths, the leaves, and the levels whose parents' B, about log2(2 last) + log2(K) bits a
// step, may stay below TREE_LETS_GO_FROM_LIMBS) holds A, B and G of all its steps, about log2(2
// last) + 2 (log2(2 last) + log2(K)) bits a step, and the nodes the chain rebuilds on its way down
// take at most one level more; each node three numbers' worth of bookkeeping.
double tree_bytes(std::uint32_t steps, double last) {
  const double index_bits = std::log2(2 * last + 2);
  const double bits_per_step = index_bits + 2 * (index_bits + LOG2_K) + 8;
  const double levels = std::ceil(std::log2(std::max(1.0, steps / double{LEAF_STEPS}))) + 1;
  // The parent of a node on level l (the leaves' is 0) has more than LEAF_STEPS 2^l steps.
  const double least_parent_bits = LEAF_STEPS * (index_bits + LOG2_K);
  const double kept_bits = static_cast<double>(TREE_LETS_GO_FROM_LIMBS) * GMP_NUMB_BITS;
  const double whole_levels =
      kept_bits > least_parent_bits
          ? std::min(levels, std::floor(std::log2(kept_bits / least_parent_bits)) + 1)
          : 0;
  const double levels_held = whole_levels + std::ceil((levels - whole_levels) / 2) + 2;
  return levels_held * steps * bits_per_step / 8 +
         block_node_count(steps) * (sizeof(BlockNode) + 96.0);
}

// Limbs of the largest product of the engine: two numbers of the state's size.
std::size_t state_product_limbs(std::int32_t word_count) {
  return static_cast<std::size_t>(2 * state_number_bytes(word_count) / sizeof(mp_limb_t)) + 2;
}

// The products' bounds while the blocks run: FFT scratch of BLOCK_SCRATCH_PER_NUMBER numbers of
// the state's size a thread (16 MB at least), products split to fit it, and the scratch kept
// from one product to the next (given back, each page is faulted in again by the next product).
// Measured with -r at 10^8 digits (trees whole, one run each): 16 MB, none split or kept, 82 s at
// 958 MB; 48 MB split and kept 71 s at 1012 MB, 96 MB 69 s at 1063 MB. Past the bound, the FFT's
// whole transforms within a thread's share of the model, the chain's largest divisions among
// them, which had gone to GMP's: at 10^8 digits 38.8 to 40.9 s against 41.3 to 43.1, at 693 to
// 718 MB against 662 to 677 (plain GMP's 368 MB); at 10^7 no change.
constexpr double BLOCK_SCRATCH_PER_NUMBER = 1.2;
ProductBounds block_bounds(std::int32_t word_count) {
  ProductBounds bounds;
  const double bytes = BLOCK_SCRATCH_PER_NUMBER * state_number_bytes(word_count);
  if (bytes > static_cast<double>(bounds.fft_scratch_bytes)) {
    bounds.fft_scratch_bytes = static_cast<std::size_t>(bytes);
  }
  bounds.split = true;
  bounds.keep_scratch = true;
  bounds.whole_transforms_bytes = product_scratch_bytes(bounds, 1, state_product_limbs(word_count));
  return bounds;
}

// The trees' share of the arena for blocks of `steps` steps: two of them, the one running and
// the next one being built, and the products of three threads (the chain's, its helper's and the
// next tree's).
double trees_bytes(std::int32_t word_count, std::uint32_t steps, double last_index) {
  return 2 * tree_bytes(steps, last_index) +
         static_cast<double>(
             product_scratch_bytes(block_bounds(word_count), 3, state_product_limbs(word_count)));
}

// The products' bounds while the state is converted between words and binary (at the start, and
// after the last block or a stop), when no tree is held: FFT scratch of FFT_SCRATCH_PER_NUMBER
// numbers of the state's size a thread, within an eighth of the trees' share (two threads' FFT
// scratch and the parts of their split products take at most three times the bound each),
// products split to fit it, and the scratch kept from one to the next. Measured by
// bench/break_off.py at 10^8 digits, q after 40 s: from q to the saved message 16.9 s (934 MB at
// the peak); without keeping the scratch 19.9 s (1064 MB), with 1.5 numbers 22.1 s (911 MB), with
// the blocks' bounds 24.5 s (1156 MB). Where q lands moves these by a few seconds. Since, with
// the quicker products, q after 12, 20, 30 and 40 s: 3 numbers 10.0, 8.1, 8.8 and 8.1 s at 743,
// 724, 718 and 722 MB; 2 numbers 10.7, 9.6, 9.0 and 8.8 s at 780, 771, 707 and 699 MB.
constexpr double FFT_SCRATCH_PER_NUMBER = 3;
ProductBounds conversion_bounds(std::int32_t word_count, std::uint32_t steps, double last_index) {
  ProductBounds bounds;
  const double bytes = std::min(FFT_SCRATCH_PER_NUMBER * state_number_bytes(word_count),
                                trees_bytes(word_count, steps, last_index) / 8);
  if (bytes > static_cast<double>(bounds.fft_scratch_bytes)) {
    bounds.fft_scratch_bytes = static_cast<std::size_t>(bytes);
  }
  bounds.split = true;
  bounds.keep_scratch = true;
  return bounds;
}

// The conversions' preparation beside the first blocks (see run_blocks): its temporaries, at most
// PREPARATION_NUMBERS numbers of the state's size (Newton's steps for the reciprocal of 10^places
// hold three, the powers' squarings two), and one more thread's products under the blocks' bounds.
constexpr double PREPARATION_NUMBERS = 4;
double preparation_bytes(std::int32_t word_count) {
  return PREPARATION_NUMBERS * state_number_bytes(word_count) +
         static_cast<double>(
             product_scratch_bytes(block_bounds(word_count), 1, state_product_limbs(word_count)));
}

// The FFT scratch of one thread while the other multiplies nothing (the conversions'
// preparation, a save's whole pieces and their first halvings, a given-up block's first term,
// each block's top division): both threads' FFT scratch under the conversions' bounds, with one
// thread's parts, within the two threads' share that the model counts. Measured with -r: the
// preparation took 7.0 s at 10^8 digits with the conversions' bounds and 3.8 s with these, 87 s and
// 66 s at 10^9 (its peak 5.2 and 6.0 GB there, below the blocks'); whole runs at 10^8 85.2 and 85.6
// s against 81.8 and 82.0 s, at 717 MB against 718 and 726 MB.
std::size_t lone_fft_scratch(const ProductBounds& conversion) {
  return 2 * conversion.fft_scratch_bytes;
}

// The arena for a run of the state's size with blocks of `steps` steps: the sum and the term,
// the quotients and products of a block's top (and on a stop the block's first term formed from
// them again), and the two numbers' conversions back into words after a stop (twenty-three
// numbers of the state's size at most, and the powers of ten they keep transformed), and either the
// trees with the conversions' preparation or the conversions' products on two threads. Measured
// with /usr/bin/time: 83 to 115 MB resident at the peak at 10^7 digits and 769 to 843 MB at 10^8;
// at 10^7 the arena's furthest byte is 96 to 102 MB into a reservation of 322 MB
// (build/bench/route_memory).
double model_bytes(std::int32_t word_count, std::uint32_t steps, double last_index) {
  const double conversions = static_cast<double>(product_scratch_bytes(
      conversion_bounds(word_count, steps, last_index), 2, state_product_limbs(word_count)));
  return 23 * state_number_bytes(word_count) + (32u << 20) +
         static_cast<double>(kept_powers_bytes(9 * static_cast<std::uint64_t>(word_count))) +
         std::max(trees_bytes(word_count, steps, last_index) + preparation_bytes(word_count),
                  conversions);
}

// The first non-zero word of the term x of a state of `count` words; count when x is zero.
std::uint32_t first_word_of(const mpz_t x, std::int32_t count) {
  if (mpz_sgn(x) == 0) return static_cast<std::uint32_t>(count);
  std::size_t digits = mpz_sizeinbase(x, 10);  // exact or one more
  if (digits % DIGITS_PER_WORD == 1 && digits > 1) {
    // Whether x < 10^(digits-1) decides the word; its leading bits settle that unless x lies
    // within a hair of that power, which then settles it.
    long exponent = 0;
    const double mantissa = mpz_get_d_2exp(&exponent, x);
    const double log10_x =
        (std::log2(mantissa) + static_cast<double>(exponent)) * 0.30102999566398120;
    const double below = static_cast<double>(digits - 1) - log10_x;
    if (below > 1e-6) {
      --digits;
    } else if (below > -1e-6) {
      mpz_t power;
      mpz_init(power);
      power_of_ten(power, digits - 1);
      if (mpz_cmp(x, power) < 0) --digits;
      mpz_clear(power);
    }
  }
  const std::size_t words = (digits + DIGITS_PER_WORD - 1) / DIGITS_PER_WORD;
  return static_cast<std::uint32_t>(count - static_cast<std::int32_t>(words));
}

// The state while the engine runs.
struct Run {
  BlockEngine* engine;
  BlockSignals* signals;
  mpz_t sum, term;
  std::uint32_t n;
  WordConversion* conversion;  // prepared before the first block
};

// The steps of the block from the run's index, for a term of `bits` bits. A run's first block
// takes half as many, so that the chain starts sooner: nothing runs beside its tree's building.
std::uint32_t block_steps_from(const BlockEngine& engine, std::uint32_t n, std::size_t bits,
                               bool first_block = false) {
  const std::uint64_t steps = std::min<std::uint64_t>(
      {steps_left(bits), first_block ? (engine.block_steps + 1) / 2 : engine.block_steps,
       std::uint64_t{LAST_SERIES_INDEX} + 1 - n});
  return static_cast<std::uint32_t>(steps);
}

// The next block's tree, built on a thread of its own while the current block runs; abandoned
// when that block is broken off.
struct NextTree {
  std::uint32_t first = 0;
  std::uint32_t steps = 0;
  BlockTree tree;
  bool built = false;
  std::atomic<bool> abandoned{false};
  std::atomic<bool> finished{false};
  const std::atomic<std::uint32_t>* reached = nullptr;
  std::uint32_t start_at = 0;
  unsigned fft_threads = 1;  // two for the first block's tree, which the chain waits for
  std::thread builder;
};

bool next_abandoned(void* context) {
  return static_cast<NextTree*>(context)->abandoned.load(std::memory_order_relaxed);
}

void build_next(NextTree* next) {
  // Not before the current block's chain has given back part of its products: the two trees
  // then take little more room than one.
  while (next->reached->load(std::memory_order_relaxed) < next->start_at && !next_abandoned(next)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (next->fft_threads > 1) set_thread_alone(0, next->fft_threads);
  next->built =
      build_block_tree(next->first, next->steps, StopCheck{next_abandoned, next}, &next->tree);
  end_thread_alone();
  release_product_scratch();
  next->finished.store(true);
}

// Starts building the tree of `steps` from `first` once the chain has reached `start_at`, with
// the FFT on `fft_threads` threads (two only while the chain waits for it).
void start_next(NextTree* next, std::uint32_t first, std::uint32_t steps,
                const std::atomic<std::uint32_t>& reached, std::uint32_t start_at,
                unsigned fft_threads) {
  next->first = first;
  next->steps = steps;
  next->reached = &reached;
  next->start_at = start_at;
  next->fft_threads = fft_threads;
  next->built = false;
  next->abandoned.store(false);
  next->finished.store(false);
  try {
    next->builder = std::thread(build_next, next);
  } catch (const std::exception&) {
    next->steps = 0;  // no thread: built when it is wanted
  }
}

void finish_next(NextTree* next) {
  if (next->builder.joinable()) next->builder.join();
}

void abandon_next(NextTree* next) {
  next->abandoned.store(true);
  finish_next(next);
  if (next->built) release_block_tree(&next->tree);
  next->built = false;
}

// The tree for the block from `first`: the one built ahead when it starts there (its length
// came from an estimate of the steps left, which can be a little off either way, and either is
// exact), otherwise `steps` built here. False when a stop came first.
bool take_tree(NextTree* next, std::uint32_t first, std::uint32_t steps, const StopCheck& abandon,
               BlockTree* tree) {
  // A stop while the tree is still being built gives it up rather than wait for it.
  while (next->builder.joinable() && !next->finished.load()) {
    if (stop_requested(abandon)) {
      abandon_next(next);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  finish_next(next);
  if (next->built && next->first == first) {
    *tree = next->tree;
    next->built = false;
    return true;
  }
  if (next->built) release_block_tree(&next->tree);
  next->built = false;
  return build_block_tree(first, steps, abandon, tree);
}

// The loop's own first step: a run always takes one before it looks for a stop.
SeriesOutcome first_step(Run* run) {
  if (mpz_sgn(run->term) == 0) return SeriesOutcome::COMPLETED;
  mpz_sub(run->sum, run->sum, run->term);
  if (run->n > LAST_SERIES_INDEX) return SeriesOutcome::LIMIT;
  exact_step(run->term, run->n);
  ++run->n;
  return SeriesOutcome::INTERRUPTED;  // that is: go on
}

// The loop from the run's state, block by block: leaves the run's sum, term and index as the loop
// leaves them at its end, or after a stop at the start of the block given up (there the term only
// where n > 2: the state at n = 2 is written in words directly).
SeriesOutcome run_blocks(Run* run) {
  const BlockEngine& engine = *run->engine;
  BlockSignals& signals = *run->signals;
  const SeriesOutcome first = first_step(run);
  if (first != SeriesOutcome::INTERRUPTED) return first;
  ChainControl control;
  control.stop = signals.stop;
  control.reached = &signals.reached;
  control.parallel_limbs = engine.parallel_limbs;
  const std::size_t lone_scratch = lone_fft_scratch(engine.conversion_bounds);
  // The next block's tree is begun only once the chain is under way: the top's division has the
  // memory to itself (but for the conversions' preparation, in the first blocks).
  control.top_fft_scratch = lone_scratch;
  // What turning the sum and the term back into words takes (ready for a stop as for the run's
  // end) is prepared on a thread of its own while the first blocks run, under the blocks' bounds:
  // its products on one thread cost less processor time than on both, and the first blocks leave
  // the other processor idle much of the time (at 10^7 digits 2.63 s against 2.81 s, medians of
  // six runs in turn, at 90 to 120 MB against 90: its last step sets the peak where it meets the
  // first block's top; at 10^8 38.4 s against 39.8 s, at 769 MB against 757). A stop, or the
  // run's end, waits for it. Without a second thread it comes first, with the conversions'
  // bounds and both threads' FFT scratch.
  NextTree next;
  set_product_bounds(block_bounds(engine.word_count));
  std::thread preparer;
  if (engine.threads >= 2) {
    try {
      preparer = std::thread([&engine, run] {
        prepare_word_conversion(engine.word_count, run->conversion);
        release_product_scratch();
        arena_trim();  // the pages its temporaries held, once
      });
    } catch (const std::exception&) {
      // no thread to be had: prepared below
    }
  }
  if (!preparer.joinable()) {
    set_product_bounds(engine.conversion_bounds);
    set_thread_alone(lone_scratch, engine.threads);
    prepare_word_conversion(engine.word_count, run->conversion);
    end_thread_alone();
    set_product_bounds(block_bounds(engine.word_count));
  }
  if (engine.threads >= 2 && mpz_sgn(run->term) != 0 && run->n <= LAST_SERIES_INDEX) {
    start_next(&next, run->n, block_steps_from(engine, run->n, mpz_sizeinbase(run->term, 2), true),
               signals.reached, 0, engine.threads);
  }
  mpz_t block_sum, given_up_quotient, given_up_divisor;
  mpz_inits(block_sum, given_up_quotient, given_up_divisor, nullptr);
  SeriesOutcome outcome;
  for (;;) {
    signals.exact_word.store(first_word_of(run->term, engine.word_count),
                             std::memory_order_relaxed);
    signals.reached.store(run->n, std::memory_order_relaxed);
    if (mpz_sgn(run->term) == 0) {
      outcome = SeriesOutcome::COMPLETED;
      break;
    }
    if (run->n > LAST_SERIES_INDEX) {
      mpz_sub(run->sum, run->sum, run->term);
      outcome = SeriesOutcome::LIMIT;
      break;
    }
    const std::size_t bits = mpz_sizeinbase(run->term, 2);
    BlockTree tree;
    if (stop_requested(signals.stop) ||
        !take_tree(&next, run->n, block_steps_from(engine, run->n, bits), signals.stop, &tree)) {
      outcome = SeriesOutcome::INTERRUPTED;
      break;
    }
    const std::uint32_t steps = tree.nodes[0].steps;
    // The next block as this one will leave it, unless it is broken off or ends the series.
    const std::uint32_t next_first = run->n + steps;
    const std::uint64_t left_after = steps_left(bits) > steps ? steps_left(bits) - steps : 0;
    if (engine.threads >= 2 && left_after > 0 && next_first <= LAST_SERIES_INDEX) {
      start_next(
          &next, next_first,
          block_steps_from(engine, next_first, static_cast<std::size_t>(left_after * LOG2_K)),
          signals.reached, run->n + static_cast<std::uint32_t>(steps * NEXT_TREE_FROM), 1);
    }
    const ChainResult result =
        run_block_chain(&tree, run->term, block_sum, control, given_up_quotient);
    if (result.steps_done < steps) mpz_swap(given_up_divisor, tree.nodes[0].b);
    release_block_tree(&tree);
    // The block's products, freed in pieces, make room for the next block's; their pages stay
    // for the next block's temporaries, or wait, as freeing left them (at 10^7 digits 2.78 s
    // against 2.95 s where every free page went back here, with 10 MB waiting; at 10^8 39.6 s
    // against 41.6 s, at 692 MB against 654).
    arena_join_small_chunks();
    if (result.steps_done < steps) {
      outcome = SeriesOutcome::INTERRUPTED;
      break;
    }
    mpz_sub(run->sum, run->sum, block_sum);
    run->n = result.first_zero != 0 ? result.first_zero : run->n + steps;
  }
  abandon_next(&next);
  if (preparer.joinable()) preparer.join();
  run->conversion->lone_fft_scratch_bytes = lone_scratch;
  run->conversion->lone_threads = engine.threads;
  mpz_clear(block_sum);
  arena_trim();  // room for the conversions back into words
  if (mpz_sgn(given_up_quotient) != 0 && run->n != 2) {
    // The state at the start of the block given up: its first term again, formed once no tree
    // is held and the other thread is idle, with both threads' FFT scratch. (At n = 2 the
    // state's words come straight from second_state_words, and the term is not needed.)
    set_product_bounds(engine.conversion_bounds);
    set_thread_alone(lone_scratch, engine.threads);
    multiply_add(run->term, given_up_quotient, given_up_divisor);
    end_thread_alone();
  }
  mpz_clears(given_up_quotient, given_up_divisor, nullptr);
  return outcome;
}

// sum and term from the state's words. At n = 1 they are 1.0 and 1.0 / 131836324 truncated (the
// only state a run holds there), made directly.
void load_state(const BlockEngine& engine, const CalcState& state, mpz_t sum, mpz_t term) {
  const std::int32_t count = engine.word_count;
  if (state.next_n == 1) {
    // With both threads' FFT scratch, and its threads: nothing else multiplies yet (at 10^8
    // digits 0.19 s against 0.46 with one thread's).
    set_thread_alone(lone_fft_scratch(engine.conversion_bounds), engine.threads);
    power_of_ten(sum, static_cast<std::uint64_t>(DIGITS_PER_WORD) * count - 1);
    end_thread_alone();
    mpz_tdiv_q_ui(term, sum, FIRST_TERM_DIVISOR);
    return;
  }
  words_to_integer(state.sum, count, sum, engine.threads);
  words_to_integer(state.term, count, term, engine.threads);
}

// sum[0 .. count) and term[0 .. count) <- the loop's state at n = 2, the same for every run of
// `count` words: 1.0 - t_1 and t_2 = floor(t_1 a_1 / b_1) = floor(t_1 / (4 K)), from the fresh
// state, as the words' own routines give them.
void second_state_words(Word* sum, Word* term, std::int32_t count) {
  std::memset(sum, 0, static_cast<std::size_t>(count) * sizeof(Word));
  std::memset(term, 0, static_cast<std::size_t>(count) * sizeof(Word));
  const std::int32_t first = set_fresh_numbers(sum, term, count);
  subtract_words(sum, term, count, first);
  divide_small(term, 4 * SERIES_X_DENOMINATOR, count, first);
}

// The steps of a whole run from n = 1, and the index a run from the state ends near.
double run_steps_of(const CalcState& state) {
  return static_cast<double>(
      steps_left(static_cast<std::size_t>(9.0 * state.word_count * BITS_PER_DIGIT)));
}
double last_index_of(const CalcState& state) {
  return std::min(run_steps_of(state) + state.next_n, double{LAST_SERIES_INDEX});
}

}  // namespace

double block_engine_peak_bytes(const CalcState& state, std::uint32_t steps) {
  return model_bytes(state.word_count, steps, last_index_of(state));
}

std::uint32_t block_steps_within(const CalcState& state, std::uint64_t memory_room) {
  auto steps = static_cast<std::uint32_t>(
      std::min(run_steps_of(state) / BLOCKS_PER_RUN + 1, double{LAST_SERIES_INDEX}));
  steps = std::max(steps, SMALLEST_BLOCK);
  // More, smaller blocks, while the trees are what does not fit.
  while (block_engine_peak_bytes(state, steps) > static_cast<double>(memory_room)) {
    if (steps == SMALLEST_BLOCK) return 0;
    steps = std::max(steps / 2, SMALLEST_BLOCK);
  }
  return steps;
}

bool start_block_engine(const CalcState& state, std::uint64_t memory_room, BlockEngine* engine,
                        const BlockTuning& tuning) {
  if (state.positions < 1 || state.positions >= POSITION_COUNT_BOUND) return false;
  const std::int32_t count = state.word_count;
  if (!bit_counts_fit(std::uint64_t{DIGITS_PER_WORD} * static_cast<std::uint64_t>(count),
                      BLOCK_ENGINE_BITS_PER_PLACE)) {
    return false;
  }
  const std::uint32_t steps =
      tuning.block_steps > 0 ? tuning.block_steps : block_steps_within(state, memory_room);
  if (steps == 0) return false;
  const double bytes = model_bytes(count, steps, last_index_of(state));
  if (bytes >= static_cast<double>(SIZE_MAX)) return false;
  const double waiting = std::clamp(PAGES_WAITING_PER_NUMBER * state_number_bytes(count),
                                    PAGES_WAITING_MIN, PAGES_WAITING_MAX);
  if (!arena_reserve(static_cast<std::size_t>(bytes), KEEP_PAGES_BELOW,
                     static_cast<std::size_t>(waiting))) {
    return false;
  }
  engine->positions = state.positions;
  engine->word_count = count;
  engine->block_steps = steps;
  engine->conversion_bounds = conversion_bounds(count, steps, last_index_of(state));
  const unsigned hardware = std::max(1u, std::thread::hardware_concurrency());
  engine->threads = std::min(2u, tuning.threads > 0 ? tuning.threads : hardware);
  engine->parallel_limbs = engine->threads < 2         ? 0
                           : tuning.parallel_limbs > 0 ? tuning.parallel_limbs
                                                       : PARALLEL_LIMBS;
  return true;
}

SeriesOutcome run_block_engine(BlockEngine* engine, CalcState* state, BlockSignals* signals) {
  const std::int32_t count = engine->word_count;
  Run run{engine, signals, {}, {}, state->next_n, nullptr};
  mpz_init(run.sum);
  mpz_init(run.term);
  set_product_bounds(engine->conversion_bounds);
  load_state(*engine, *state, run.sum, run.term);
  // However the run ends, both numbers' words are written anew from run.sum and run.term:
  // meanwhile their pages go back to the system.
  discard_pages(state->sum, static_cast<std::size_t>(count) * sizeof(Word));
  discard_pages(state->term, static_cast<std::size_t>(count) * sizeof(Word));
  set_product_bounds(block_bounds(count));
  WordConversion conversion;
  run.conversion = &conversion;
  const SeriesOutcome outcome = run_blocks(&run);
  release_product_scratch();
  set_product_bounds(engine->conversion_bounds);
  // Both numbers' pieces shared by the threads, where the conversion is prepared; the state
  // after the first step (a stop in a run's first block from index 1, or a run that ends there)
  // at once.
  if (run.n == 2) {
    second_state_words(state->sum, state->term, count);
  } else if (conversion.ready) {
    const mpz_srcptr numbers[] = {run.sum, run.term};
    Word* const words[] = {state->sum, state->term};
    integers_to_words(numbers, words, 2, count, engine->threads, conversion);
  } else {
    integer_to_words(run.sum, state->sum, count, engine->threads);
    integer_to_words(run.term, state->term, count, engine->threads);
  }
  release_word_conversion(&conversion);
  state->next_n = run.n;
  state->first_nonzero = first_nonzero_word(state->term, count);
  mpz_clear(run.sum);
  mpz_clear(run.term);
  release_block_engine(engine);
  return outcome;
}

void release_block_engine(BlockEngine* /*engine*/) {
  arena_release();
  set_product_bounds(ProductBounds{});
}

std::uint32_t block_progress(const BlockEngine& engine, const BlockSignals& signals) {
  const std::uint32_t exact = signals.exact_word.load(std::memory_order_relaxed);
  const std::uint32_t reached = signals.reached.load(std::memory_order_relaxed);
  const std::uint32_t whole = static_cast<std::uint32_t>(engine.word_count);
  if (exact >= whole) return whole;
  if (reached < 1) return exact;  // not started yet
  // A term of ln T has floor(ln T / ln 10) + 1 digits; one word less, for the estimate's sake.
  const double digits =
      std::floor(log_term_estimate(engine.positions, reached) / std::log(10.0)) + 1;
  const double words = std::ceil(std::max(digits, 0.0) / DIGITS_PER_WORD) + 1;
  if (!std::isfinite(words)) return exact;
  const double estimate = std::clamp(whole - words, 0.0, whole - 1.0);
  return std::max(exact, static_cast<std::uint32_t>(estimate));
}
