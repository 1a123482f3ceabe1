// The arena that the GMP routes reserve: blocks keep their contents, freed neighbours join again,
// and what the region cannot serve comes from elsewhere and is counted.
#include <gtest/gtest.h>
#include <gmp.h>

#include <random>
#include <vector>

#include "products/memory_arena.h"

namespace {

struct Block {
  unsigned char* bytes;
  std::size_t size;
  unsigned char fill;
};

bool intact(const Block& block) {
  for (std::size_t i = 0; i < block.size; ++i) {
    if (block.bytes[i] != block.fill) return false;
  }
  return true;
}

TEST(MemoryArena, BlocksKeepTheirContentsAndFreedSpaceJoinsAgain) {
  constexpr std::size_t REGION = 8 << 20;
  ASSERT_TRUE(arena_reserve(REGION));
  std::mt19937 rng(11);
  std::vector<Block> blocks;
  mpz_t grown;
  mpz_init(grown);  // GMP's own allocations, growing through the arena's reallocation
  for (int round = 0; round < 3000; ++round) {
    if (blocks.size() < 40 && rng() % 3 != 0) {
      const std::size_t size = rng() % 2 == 0 ? 1 + rng() % 2000 : 1 + rng() % 200000;
      Block block{static_cast<unsigned char*>(arena_allocate(size)), size,
                  static_cast<unsigned char>(rng())};
      ASSERT_NE(block.bytes, nullptr);
      std::fill(block.bytes, block.bytes + size, block.fill);
      blocks.push_back(block);
    } else if (!blocks.empty()) {
      const std::size_t victim = rng() % blocks.size();
      ASSERT_TRUE(intact(blocks[victim])) << round;
      arena_free(blocks[victim].bytes);
      blocks.erase(blocks.begin() + static_cast<long>(victim));
    }
    if (round % 100 == 0) mpz_ui_pow_ui(grown, 3, 1000u * static_cast<unsigned>(rng() % 200));
  }
  for (const Block& block : blocks) {
    EXPECT_TRUE(intact(block));
    arena_free(block.bytes);
  }
  mpz_clear(grown);
  EXPECT_EQ(arena_use().overflows, 0u);
  // Freed blocks join into one run again, the small ones once they are taken off their lists.
  arena_trim();
  void* whole = arena_allocate(REGION - 1024);
  EXPECT_NE(whole, nullptr);
  EXPECT_EQ(arena_use().overflows, 0u);
  arena_free(whole);
  arena_release();
}

TEST(MemoryArena, WhatTheRegionCannotServeIsCountedAndServedElsewhere) {
  ASSERT_TRUE(arena_reserve(1 << 20));
  mpz_t large;
  mpz_init(large);
  mpz_ui_pow_ui(large, 7, 4000000);  // about 1.4 MB: more than the region holds
  EXPECT_GE(arena_use().overflows, 1u);
  EXPECT_EQ(mpz_fdiv_ui(large, 1000000007), mpz_fdiv_ui(large, 1000000007));
  mpz_t check;
  mpz_init(check);
  mpz_root(check, large, 4000000);
  EXPECT_EQ(mpz_cmp_ui(check, 7), 0);
  mpz_clears(large, check, nullptr);
  arena_release();
}

}  // namespace
