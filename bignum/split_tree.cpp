#include "bignum/split_tree.h"

#include <cassert>
#include <climits>

#include "bignum/memory_arena.h"
#include "numbers/series_constants.h"

namespace {

constexpr bool LONG_HOLDS_DIVISOR = ULONG_MAX / 2 / (LAST_SERIES_INDEX + 1) >= SERIES_X_DENOMINATOR;

// The leaf's products, step by step: appending step j to A, B, G gives
// A a_j, B b_j and (G + A) b_j.
void build_leaf(SplitNode* node) {
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
std::uint32_t lay_out(SplitTree* tree, std::uint32_t index, std::uint32_t first,
                      std::uint32_t steps) {
  SplitNode* node = &tree->nodes[index];
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

bool build_node(SplitTree* tree, std::uint32_t index, const StopCheck& abandon) {
  if (stop_requested(abandon)) return false;
  SplitNode* node = &tree->nodes[index];
  if (node->right == 0) {
    build_leaf(node);
    return true;
  }
  if (!build_node(tree, index + 1, abandon) || !build_node(tree, node->right, abandon)) return false;
  const SplitNode& left = tree->nodes[index + 1];
  const SplitNode& right = tree->nodes[node->right];
  mpz_mul(node->a, left.a, right.a);
  mpz_mul(node->b, left.b, right.b);
  mpz_mul(node->g, left.g, right.b);
  mpz_addmul(node->g, left.a, right.g);
  return true;
}

}  // namespace

void multiply_by_step_divisor(mpz_t x, std::uint32_t j) {
  if constexpr (LONG_HOLDS_DIVISOR) {
    mpz_mul_ui(x, x, static_cast<unsigned long>(2 * j + 2) * SERIES_X_DENOMINATOR);
  } else {
    mpz_mul_ui(x, x, 2 * j + 2);
    mpz_mul_ui(x, x, SERIES_X_DENOMINATOR);
  }
}

void split_step(mpz_t x, std::uint32_t j) {
  mpz_mul_ui(x, x, 2 * j - 1);
  if constexpr (LONG_HOLDS_DIVISOR) {
    mpz_tdiv_q_ui(x, x, static_cast<unsigned long>(2 * j + 2) * SERIES_X_DENOMINATOR);
  } else {
    mpz_tdiv_q_ui(x, x, 2 * j + 2);
    mpz_tdiv_q_ui(x, x, SERIES_X_DENOMINATOR);
  }
}

std::uint32_t split_node_count(std::uint32_t steps) {
  assert(steps >= 1);
  if (steps <= LEAF_STEPS) return 1;
  return 1 + split_node_count(steps / 2) + split_node_count(steps - steps / 2);
}

bool build_split_tree(std::uint32_t first, std::uint32_t steps, const StopCheck& abandon,
                      SplitTree* tree) {
  assert(first >= 1 && steps >= 1 && first - 1 + steps <= LAST_SERIES_INDEX);
  tree->count = split_node_count(steps);
  tree->nodes = static_cast<SplitNode*>(bignum_allocate(tree->count * sizeof(SplitNode)));
  if (tree->nodes == nullptr) {
    tree->count = 0;
    return false;
  }
  lay_out(tree, 0, first, steps);
  if (build_node(tree, 0, abandon)) return true;
  release_split_tree(tree);
  return false;
}

void release_split_node(SplitNode* node) {
  mpz_clear(node->a);
  mpz_clear(node->b);
  mpz_clear(node->g);
  mpz_init(node->a);
  mpz_init(node->b);
  mpz_init(node->g);
}

void release_split_tree(SplitTree* tree) {
  for (std::uint32_t i = 0; i < tree->count; ++i) {
    mpz_clear(tree->nodes[i].a);
    mpz_clear(tree->nodes[i].b);
    mpz_clear(tree->nodes[i].g);
  }
  bignum_free(tree->nodes);
  tree->nodes = nullptr;
  tree->count = 0;
}
