#include "block_engine/block_chain.h"

#include <algorithm>
#include <exception>
#include <thread>

#include "exact_terms/exact_step.h"
#include "products/division.h"
#include "products/product.h"

namespace {

struct Chain {
  BlockTree* tree;
  const ChainControl* control;
  std::uint32_t first_zero;
  // The block's first term, once the top has begun on it, for a stop: top_quotient B +
  // top_rest, with the quotient and remainder of the top's division (0 and the whole term where
  // it had none). Only the top's remainder is a copy: the quotient is the top's own.
  bool top_kept;
  mpz_t top_quotient;
  mpz_t top_rest;
};

// The top keeps what gives the block's first term back, x being its input or its remainder.
void keep_top(Chain& chain, std::uint32_t index, const mpz_t x) {
  if (index != 0) return;
  mpz_set(chain.top_rest, x);
  chain.top_kept = true;
}

// A node's quotient is cleared once it is done with; the top's stays with the chain when a stop
// came before the top's end.
void end_quotient(Chain& chain, std::uint32_t index, mpz_t q, bool stopped) {
  if (index == 0 && stopped) mpz_swap(chain.top_quotient, q);
  mpz_clear(q);
}

// q A and q G, on a second thread when there is one to be had; given up when the block is broken
// off (they are not wanted then), between slices of q as long as the node's B, so that a stop
// never waits for a whole product of the block's top.
struct QuotientShares {
  const mpz_t* q;
  BlockTree* tree;
  std::uint32_t index;  // of the node
  mpz_t a_share, g_share;
  std::atomic<bool> abandoned{false};
  std::thread worker;
};

// share += q factor, slice by slice.
void add_product_in_slices(mpz_t share, const mpz_t q, const mpz_t factor, std::size_t slice,
                           const std::atomic<bool>& abandoned) {
  const std::size_t size = mpz_size(q);
  mpz_t product;
  mpz_init(product);
  for (std::size_t at = 0; at < size && !abandoned.load(std::memory_order_relaxed); at += slice) {
    mpz_t part;
    mpz_roinit_n(part, mpz_limbs_read(q) + at, static_cast<mp_size_t>(std::min(slice, size - at)));
    multiply(product, part, factor);
    mpz_mul_2exp(product, product, static_cast<mp_bitcnt_t>(at) * GMP_NUMB_BITS);
    mpz_add(share, share, product);
  }
  mpz_clear(product);
}

// The node's A and G, rebuilt first where the tree let them go.
void form_shares(QuotientShares* shares) {
  const BlockNode& node = shares->tree->nodes[shares->index];
  if (mpz_sgn(node.a) == 0) node_a_g_from_halves(shares->tree, shares->index);
  const std::size_t slice = std::max<std::size_t>(mpz_size(node.b), 1);
  add_product_in_slices(shares->a_share, *shares->q, node.a, slice, shares->abandoned);
  add_product_in_slices(shares->g_share, *shares->q, node.g, slice, shares->abandoned);
  release_product_scratch();
}

void start_shares(QuotientShares* shares, const mpz_t& q, BlockTree* tree, std::uint32_t index) {
  shares->q = &q;
  shares->tree = tree;
  shares->index = index;
  mpz_init(shares->a_share);
  mpz_init(shares->g_share);
  try {
    shares->worker = std::thread(form_shares, shares);
  } catch (const std::exception&) {
    form_shares(shares);  // no thread to be had: formed here, before the halves
  }
}

void finish_shares(QuotientShares* shares) {
  if (shares->worker.joinable()) shares->worker.join();
}

void clear_shares(QuotientShares* shares) {
  mpz_clear(shares->a_share);
  mpz_clear(shares->g_share);
}

// A node that has run to its end needs its halves' products no more; they are given back as the
// chain passes, so that the block's products shrink while the next block's grow.
void release_below(BlockTree* tree, std::uint32_t index) {
  std::uint32_t end = index;
  while (tree->nodes[end].right != 0) end = tree->nodes[end].right;
  for (std::uint32_t i = index + 1; i <= end; ++i) release_block_node(&tree->nodes[i]);
}

std::uint32_t run_node(Chain& chain, std::uint32_t index, mpz_t x, mpz_t sum, bool exact);

std::uint32_t run_node_to_end(Chain& chain, std::uint32_t index, mpz_t x, mpz_t sum, bool exact) {
  const std::uint32_t done = run_node(chain, index, x, sum, exact);
  if (done == chain.tree->nodes[index].steps) release_below(chain.tree, index);
  return done;
}

void run_leaf(Chain& chain, const BlockNode& node, mpz_t x, mpz_t sum, bool exact) {
  mpz_set_ui(sum, 0);
  for (std::uint32_t j = node.first; j < node.first + node.steps; ++j) {
    mpz_add(sum, sum, x);
    exact_step(x, j);
    if (mpz_sgn(x) == 0) {
      if (exact && chain.first_zero == 0) chain.first_zero = j + 1;
      break;
    }
  }
  if (chain.control->reached != nullptr) {
    chain.control->reached->store(node.first + node.steps, std::memory_order_relaxed);
  }
}

// Both halves in turn; a stop in the left one leaves the right one alone.
std::uint32_t run_halves(Chain& chain, std::uint32_t index, mpz_t x, mpz_t sum, bool exact) {
  const BlockNode& left = chain.tree->nodes[index + 1];
  const std::uint32_t left_done = run_node_to_end(chain, index + 1, x, sum, exact);
  if (left_done < left.steps) return left_done;
  mpz_t right_sum;
  mpz_init(right_sum);
  const std::uint32_t right_done =
      run_node_to_end(chain, chain.tree->nodes[index].right, x, right_sum, exact);
  mpz_add(sum, sum, right_sum);
  mpz_clear(right_sum);
  return left.steps + right_done;
}

std::uint32_t run_node(Chain& chain, std::uint32_t index, mpz_t x, mpz_t sum, bool exact) {
  const BlockNode& node = chain.tree->nodes[index];
  if (mpz_sgn(x) == 0) {
    mpz_set_ui(sum, 0);
    return node.steps;
  }
  if (stop_requested(chain.control->stop)) return 0;
  if (node.right == 0) {
    run_leaf(chain, node, x, sum, exact);
    return node.steps;
  }
  if (node_products_dropped(node)) node_b_from_halves(chain.tree, index);
  if (mpz_cmp(x, node.b) < 0) {
    keep_top(chain, index, x);
    return run_halves(chain, index, x, sum, exact);
  }

  mpz_t q;
  mpz_init(q);
  const bool top_alone = index == 0 && chain.control->top_fft_scratch > 0;
  // On one thread, where the chunks' products keep the divisor and its reciprocal transformed
  // (see division.cpp). Measured with -r: at 10^7 digits the blocks' top divisions took 0.34 to
  // 0.35 s in all against 0.34 to 0.40 s on two threads, those kept too, and 0.39 to 0.44 s on
  // two threads without them; whole runs at 10^8, two each in turn, 35.2 s against 35.6 s on
  // two threads without them (58 s of processor time against 62 s), at 782 MB against 833 MB.
  if (top_alone) set_thread_alone(chain.control->top_fft_scratch, 1);
  // A stop during the division (the top's takes seconds at the largest sizes) leaves x as it was.
  const bool divided = divide_unless_stopped(q, x, x, node.b, chain.control->stop);
  if (top_alone) end_thread_alone();
  if (!divided) {
    mpz_clear(q);
    return 0;
  }
  keep_top(chain, index, x);
  if (stop_requested(chain.control->stop)) {
    end_quotient(chain, index, q, true);
    return 0;
  }
  const std::size_t parallel_limbs = chain.control->parallel_limbs;
  // (A has about half of B's limbs.)
  const bool in_parallel =
      parallel_limbs > 0 && mpz_size(q) + mpz_size(node.b) / 2 >= parallel_limbs;
  QuotientShares shares;
  if (in_parallel) start_shares(&shares, q, chain.tree, index);
  const std::uint32_t done = run_halves(chain, index, x, sum, false);
  if (in_parallel) {
    if (done < node.steps) shares.abandoned.store(true);
    finish_shares(&shares);
    if (done == node.steps) {
      // The shares are the long ones: x and sum go into them, not they into x and sum.
      mpz_add(shares.a_share, shares.a_share, x);
      mpz_swap(x, shares.a_share);
      mpz_add(shares.g_share, shares.g_share, sum);
      mpz_swap(sum, shares.g_share);
    }
    clear_shares(&shares);
  } else if (done == node.steps) {
    if (mpz_sgn(node.a) == 0) node_a_g_from_halves(chain.tree, index);
    multiply_add(x, q, node.a);
    multiply_add(sum, q, node.g);
  }
  end_quotient(chain, index, q, done < node.steps);
  return done;
}

}  // namespace

ChainResult run_block_chain(BlockTree* tree, mpz_t x, mpz_t subtracted, const ChainControl& control,
                            mpz_t given_up) {
  Chain chain{tree, &control, 0, false, {}, {}};
  mpz_init(chain.top_quotient);
  mpz_init(chain.top_rest);
  ChainResult result;
  result.steps_done = run_node(chain, 0, x, subtracted, true);
  result.first_zero = chain.first_zero;
  mpz_set_ui(given_up, 0);
  if (result.steps_done < tree->nodes[0].steps && chain.top_kept) {
    mpz_swap(given_up, chain.top_quotient);
    mpz_swap(x, chain.top_rest);
  }
  mpz_clear(chain.top_quotient);
  mpz_clear(chain.top_rest);
  return result;
}
