#include "block_engine/block_tree.h"

#include <cassert>

#include "exact_terms/exact_step.h"
#include "numbers/series_constants.h"
#include "products/memory_arena.h"
#include "products/product.h"

namespace {

// The leaf's products, step by step: appending step j to A, B, G gives
// A a_j, B b_j and (G + A) b_j.
void build_leaf(BlockNode* node) {
  mpz_set_ui(node->a, 1);
  mpz_set_ui(node->b, 1);
  mpz_set_ui(node->g, 0);
  for (std::uint32_t j = node->first; j < node->first + node->steps; ++j) {
    mpz_add(node->g, node->g, node->a);
    multiply_by_step_divisor(node->g, j);
    mpz_mul_ui(node->a, node->a, 2 * j - 1);
    multiply_by_step_divisor(node->b, j);
  }
}

// Lays out the nodes of `steps` steps from `first` at `index` on; returns the index after them.
std::uint32_t lay_out(BlockTree* tree, std::uint32_t index, std::uint32_t first,
                      std::uint32_t steps) {
  BlockNode* node = &tree->nodes[index];
  node->first = first;
  node->steps = steps;
  mpz_init(node->a);
  mpz_init(node->b);
  mpz_init(node->g);
  if (steps <= LEAF_STEPS) {
    node->right = 0;
    return index + 1;
  }
  const std::uint32_t left_steps = steps / 2;
  node->right = lay_out(tree, index + 1, first, left_steps);
  return lay_out(tree, node->right, first + left_steps, steps - left_steps);
}

// Builds the node at `index`, `depth` levels below the block; a node at an even depth whose B
// has at least `lets_go_from_limbs` limbs lets the products of its halves go once it has its own,
// unless they are leaves.
bool build_node(BlockTree* tree, std::uint32_t index, unsigned depth, const StopCheck& abandon,
                std::size_t lets_go_from_limbs) {
  if (stop_requested(abandon)) return false;
  BlockNode* node = &tree->nodes[index];
  if (node->right == 0) {
    build_leaf(node);
    return true;
  }
  if (!build_node(tree, index + 1, depth + 1, abandon, lets_go_from_limbs) ||
      !build_node(tree, node->right, depth + 1, abandon, lets_go_from_limbs))
    return false;
  BlockNode& left = tree->nodes[index + 1];
  BlockNode& right = tree->nodes[node->right];
  node_b_from_halves(tree, index);
  node_a_g_from_halves(tree, index);
  if (depth % 2 == 0 && mpz_size(node->b) >= lets_go_from_limbs) {
    if (left.right != 0) release_block_node(&left);
    if (right.right != 0) release_block_node(&right);
  }
  return true;
}

}  // namespace

std::uint32_t block_node_count(std::uint32_t steps) {
  assert(steps >= 1);
  if (steps <= LEAF_STEPS) return 1;
  return 1 + block_node_count(steps / 2) + block_node_count(steps - steps / 2);
}

bool build_block_tree(std::uint32_t first, std::uint32_t steps, const StopCheck& abandon,
                      BlockTree* tree, std::size_t lets_go_from_limbs) {
  assert(first >= 1 && steps >= 1 && first - 1 + steps <= LAST_SERIES_INDEX);
  tree->count = block_node_count(steps);
  tree->nodes = static_cast<BlockNode*>(arena_allocate(tree->count * sizeof(BlockNode)));
  if (tree->nodes == nullptr) {
    tree->count = 0;
    return false;
  }
  lay_out(tree, 0, first, steps);
  if (build_node(tree, 0, 0, abandon, lets_go_from_limbs)) return true;
  release_block_tree(tree);
  return false;
}

void node_b_from_halves(BlockTree* tree, std::uint32_t index) {
  BlockNode& node = tree->nodes[index];
  assert(node.right != 0);
  multiply(node.b, tree->nodes[index + 1].b, tree->nodes[node.right].b);
}

void node_a_g_from_halves(BlockTree* tree, std::uint32_t index) {
  BlockNode& node = tree->nodes[index];
  assert(node.right != 0);
  const BlockNode& left = tree->nodes[index + 1];
  const BlockNode& right = tree->nodes[node.right];
  multiply(node.a, left.a, right.a);
  multiply(node.g, left.g, right.b);
  multiply_add(node.g, left.a, right.g);
}

void release_block_node(BlockNode* node) {
  mpz_clear(node->a);
  mpz_clear(node->b);
  mpz_clear(node->g);
  mpz_init(node->a);
  mpz_init(node->b);
  mpz_init(node->g);
}

void release_block_tree(BlockTree* tree) {
  for (std::uint32_t i = 0; i < tree->count; ++i) {
    mpz_clear(tree->nodes[i].a);
    mpz_clear(tree->nodes[i].b);
    mpz_clear(tree->nodes[i].g);
  }
  arena_free(tree->nodes);
  tree->nodes = nullptr;
  tree->count = 0;
}
