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
// has its own, and are rebuilt from their halves' when the chain comes to them.
#pragma once

#include <gmp.h>

#include <cstdint>

#include "products/stop_check.h"

// Blocks of at most this many steps are leaves: their chains run step by step.
inline constexpr std::uint32_t LEAF_STEPS = 24;

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
// LAST_SERIES_INDEX). Gives up, holding nothing, when `abandon` is requested (asked before every
// node) or the nodes' array cannot be had. Returns whether the tree was built.
bool build_block_tree(std::uint32_t first, std::uint32_t steps, const StopCheck& abandon,
                      BlockTree* tree);

void release_block_tree(BlockTree* tree);

// Gives back one node's products (they read as zero afterwards).
void release_block_node(BlockNode* node);
