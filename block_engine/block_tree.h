// The products of a block of steps of the series, as a tree of halves.
//
// In units of the last word the step from index j is T_(j+1) = floor(T_j a_j / b_j) with
// a_j = 2j - 1 and b_j = (2j + 2) K (the loop's nested truncations fuse). For the k steps of a
// block from index n, with A_i and B_i the products of the first i factors:
//   A = A_k,  B = B_k,  G = sum over i < k of A_i B / B_i.
// Writing T_n = q B + U with 0 <= U < B, the block's terms are T_(n+i) = q A_i B / B_i + V_i,
// where V is the same truncated chain run from U; so T_(n+k) = q A + V_k, and the terms it
// subtracts sum to q G + (V_0 + ... + V_(k-1)). Two halves L, R combine as
//   A = A_L A_R,  B = B_L B_R,  G = G_L B_R + A_L G_R.
// A tree keeps the products of its leaves and of the nodes at even depths (the block's own at
// depth 0); the other nodes' products, half of the tree's memory, are let go once their parent
// has its own, and are rebuilt from their halves' when the chain comes to them: where the parent's
// B has at least TREE_LETS_GO_FROM_LIMBS limbs. Below that every node keeps its products.
#pragma once

#include <gmp.h>

#include <cstddef>
#include <cstdint>

#include "products/stop_check.h"

// Blocks of at most this many steps are leaves: their chains run step by step.
inline constexpr std::uint32_t LEAF_STEPS = 24;

// Rebuilding the products let go costs about a tenth of a run's processor time, most of it in the
// nodes below this size, whose products are GMP's or small FFT ones and are rebuilt on the chain's
// own thread. Measured with -r, runs in turn: at 10^7 digits 4.91 s of processor time (median of
// six) letting go at every even depth, 4.73 s from 5000 limbs, 4.58 s from 20,000, 4.46 s never,
// all at a peak of 89-90 MB; at 10^8 72.8 s, 67.5 s from 30,000 limbs and 67.7 s never, at 686,
// 773 and 804 MB.
inline constexpr std::size_t TREE_LETS_GO_FROM_LIMBS = 32768;

struct BlockNode {
  std::uint32_t first;  // the index n of its first step
  std::uint32_t steps;  // k
  std::uint32_t right;  // the index of its right half in the tree; 0 for a leaf (the left half
                        // is the next node)
  mpz_t a, b, g;        // A, B and G of its steps
};

// Nodes in pre-order, the block itself at index 0.
struct BlockTree {
  BlockNode* nodes = nullptr;
  std::uint32_t count = 0;
};

// Nodes of the tree of a block of `steps` >= 1 steps.
std::uint32_t block_node_count(std::uint32_t steps);

// Whether the node's products were let go after its parent was built.
inline bool node_products_dropped(const BlockNode& node) {
  return node.right != 0 && mpz_sgn(node.b) == 0;
}

// The node's B, or its A and G, again from its halves' (which must be held): for a node with
// halves whose products were let go.
void node_b_from_halves(BlockTree* tree, std::uint32_t index);
void node_a_g_from_halves(BlockTree* tree, std::uint32_t index);

// Builds the tree of the `steps` steps from index `first` (first >= 1, first + steps - 1 <=
// LAST_SERIES_INDEX), letting products go under nodes whose B has at least `lets_go_from_limbs`
// limbs. Gives up, holding nothing, when `abandon` is requested (asked before every node) or the
// nodes' array cannot be had. Returns whether the tree was built.
bool build_block_tree(std::uint32_t first, std::uint32_t steps, const StopCheck& abandon,
                      BlockTree* tree, std::size_t lets_go_from_limbs = TREE_LETS_GO_FROM_LIMBS);

void release_block_tree(BlockTree* tree);

// Gives back one node's products (they read as zero afterwards).
void release_block_node(BlockNode* node);
