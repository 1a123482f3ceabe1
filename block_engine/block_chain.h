// The series' truncated chain over a block, by the block's tree: at a node whose input x is at
// least its B, x = q B + U and the node's terms are q times its products plus the chain from U,
// run on its halves; smaller inputs go to the halves directly, and leaves take their steps one by
// one. Under nodes where q = 0 the values are the true terms, so the first zero term is found
// there; under a node with q >= 1 no term is zero.
//
// A stop gives the block up at the next node: nothing is added on the way back up, so that a stop
// never waits for the block's large products; what gives the block's first term back is kept
// instead.
#pragma once

#include <gmp.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "block_engine/block_tree.h"

struct ChainControl {
  StopCheck stop;                                 // asked at every node
  std::atomic<std::uint32_t>* reached = nullptr;  // the index after each leaf, when not null
  // Nodes whose q times A is at least this many limbs have q A and q G formed on a second thread
  // while their halves run; 0 never does.
  std::size_t parallel_limbs = 0;
  // FFT scratch for the top's division, which runs while no other thread multiplies (0: the
  // common bound; see set_thread_alone).
  std::size_t top_fft_scratch = 0;
};

struct ChainResult {
  std::uint32_t steps_done = 0;  // all the block's steps, fewer when it was given up
  std::uint32_t first_zero = 0;  // the index of the first zero term, 0 when none came
};

// Runs the chain of the block of `tree` from x, its first term: x becomes the term after the
// block, and `subtracted` the sum of the block's terms. Gives the block up, with steps_done below
// its steps, only when the control's stop is requested; the block's first term is then
// `given_up` B + x, with B the block's own (tree->nodes[0].b): the top's quotient and remainder
// (0 and the first term itself where the top did not divide), and `subtracted` holds nothing of
// use. Requires x >= 0 and built products; gives back the products of every node whose parent has
// run to its end, so that only the block's own are left at the end.
ChainResult run_block_chain(BlockTree* tree, mpz_t x, mpz_t subtracted, const ChainControl& control,
                            mpz_t given_up);
