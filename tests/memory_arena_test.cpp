// The arena that the GMP routes reserve: chunks keep their contents, freed neighbours join again,
// and what the region cannot serve comes from elsewhere and is counted.
#include <gtest/gtest.h>
#include <gmp.h>

#include <random>
#include <vector>

#include "products/memory_arena.h"

namespace {

struct Chunk {
  unsigned char* bytes;
  std::size_t size;
  unsigned char fill;
};

bool intact(const Chunk& chunk) {
  for (std::size_t i = 0; i < chunk.size; ++i) {
    if (chunk.bytes[i] != chunk.fill) return false;
  }
  return true;
}

TEST(MemoryArena, BlocksKeepTheirContentsAndFreedSpaceJoinsAgain) {
  constexpr std::size_t REGION = 8 << 20;
  ASSERT_TRUE(arena_reserve(REGION));
  std::mt19937 rng(11);
  std::vector<Chunk> chunks;
  mpz_t grown;
  mpz_init(grown);  // GMP's own allocations, growing through the arena's reallocation
  for (int round = 0; round < 3000; ++round) {
    if (chunks.size() < 40 && rng() % 3 != 0) {
      const std::size_t size = rng() % 2 == 0 ? 1 + rng() % 2000 : 1 + rng() % 200000;
      Chunk chunk{static_cast<unsigned char*>(arena_allocate(size)), size,
                  static_cast<unsigned char>(rng())};
      ASSERT_NE(chunk.bytes, nullptr);
      std::fill(chunk.bytes, chunk.bytes + size, chunk.fill);
      chunks.push_back(chunk);
    } else if (!chunks.empty()) {
      const std::size_t victim = rng() % chunks.size();
      ASSERT_TRUE(intact(chunks[victim])) << round;
      arena_free(chunks[victim].bytes);
      chunks.erase(chunks.begin() + static_cast<long>(victim));
    }
    if (round % 100 == 0) mpz_ui_pow_ui(grown, 3, 1000u * static_cast<unsigned>(rng() % 200));
  }
  for (const Chunk& chunk : chunks) {
    EXPECT_TRUE(intact(chunk));
    arena_free(chunk.bytes);
  }
  mpz_clear(grown);
  EXPECT_EQ(arena_use().overflows, 0u);
  // Freed chunks join into one run again, the small ones once they are taken off their lists.
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
  // The number served elsewhere holds the right value: its residue against one multiplied out.
  std::uint64_t residue = 1;
  for (int i = 0; i < 4000000; ++i) residue = residue * 7 % 1000000007;
  EXPECT_EQ(mpz_fdiv_ui(large, 1000000007), residue);
  mpz_t check;
  mpz_init(check);
  mpz_root(check, large, 4000000);
  EXPECT_EQ(mpz_cmp_ui(check, 7), 0);
  mpz_clears(large, check, nullptr);
  arena_release();
}

}  // namespace
