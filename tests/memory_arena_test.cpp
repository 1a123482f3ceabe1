// The arena that the GMP routes reserve: chunks keep their contents, freed neighbours join again,
// what the region cannot serve comes from elsewhere and is counted, and freed memory goes back to
// the system as the route chose.
#include <gtest/gtest.h>
#include <gmp.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

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

// Also where the pages of freed runs wait to be given back, so that runs taken again, split and
// joined cut through waiting spans: a span given back over a chunk in use, or over the header of
// a run, would lose contents or the arena's lists.
class MemoryArenaPages : public testing::TestWithParam<std::size_t> {};

TEST_P(MemoryArenaPages, BlocksKeepTheirContentsAndFreedSpaceJoinsAgain) {
  constexpr std::size_t REGION = 8 << 20;
  ASSERT_TRUE(arena_reserve(REGION, 64 << 10, GetParam()));
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

INSTANTIATE_TEST_SUITE_P(GivenBackAtOnceOrWaiting, MemoryArenaPages,
                         testing::Values(std::size_t{0}, std::size_t{512} << 10));

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

// Two threads allocate, grow and free at once, large chunks among them, whose pages go back to
// the system as they are freed: no chunk ever loses its contents.
class MemoryArenaTwoThreads : public testing::TestWithParam<std::size_t> {};

TEST_P(MemoryArenaTwoThreads, ChunksKeepTheirContentsWhileTheOtherThreadFreesAndMoves) {
  constexpr std::size_t LARGE = std::size_t{256} << 10;  // and larger give their pages back
  ASSERT_TRUE(arena_reserve(128 * LARGE, LARGE, GetParam() * LARGE));
  const auto churn = [](unsigned seed, bool* kept) {
    std::mt19937 rng(seed);
    std::vector<Chunk> chunks;
    for (int round = 0; round < 1000 && *kept; ++round) {
      if (chunks.size() < 6 && rng() % 3 != 0) {
        const std::size_t size = rng() % 2 == 0 ? 1 + rng() % 4000 : LARGE + rng() % LARGE;
        Chunk chunk{static_cast<unsigned char*>(arena_allocate(size)), size,
                    static_cast<unsigned char>(rng() | 1)};
        if (chunk.bytes == nullptr) break;
        std::memset(chunk.bytes, chunk.fill, size);
        chunks.push_back(chunk);
      } else if (!chunks.empty()) {
        Chunk& chunk = chunks[rng() % chunks.size()];
        *kept = *kept && intact(chunk);
        if (rng() % 2 == 0) {
          // Grown, mostly moved: the old contents come along, the rest is filled anew.
          const std::size_t size = chunk.size + 1 + rng() % LARGE;
          auto* grown = static_cast<unsigned char*>(arena_reallocate(chunk.bytes, size));
          if (grown == nullptr) break;
          chunk.bytes = grown;
          *kept = *kept && intact(chunk);
          std::memset(grown + chunk.size, chunk.fill, size - chunk.size);
          chunk.size = size;
        } else {
          arena_free(chunk.bytes);
          chunk = chunks.back();
          chunks.pop_back();
        }
      }
    }
    for (const Chunk& chunk : chunks) {
      *kept = *kept && intact(chunk);
      arena_free(chunk.bytes);
    }
  };
  bool first_kept = true, second_kept = true;
  std::thread other(churn, 5u, &second_kept);
  churn(6u, &first_kept);
  other.join();
  EXPECT_TRUE(first_kept);
  EXPECT_TRUE(second_kept);
  EXPECT_EQ(arena_use().overflows, 0u);
  arena_release();
}

// Given back at once, or waiting up to eight large chunks' pages.
INSTANTIATE_TEST_SUITE_P(GivenBackAtOnceOrWaiting, MemoryArenaTwoThreads,
                         testing::Values(std::size_t{0}, std::size_t{8}));

#if defined(__linux__)
// The share of the pages of the middle half of [bytes, bytes + size) that are resident.
double resident_share(const void* bytes, std::size_t size) {
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const std::size_t from = (reinterpret_cast<std::uintptr_t>(bytes) + size / 4) / page * page;
  const std::size_t pages = size / 2 / page;
  std::vector<unsigned char> flags(pages);
  if (mincore(reinterpret_cast<void*>(from), pages * page, flags.data()) != 0) return -1;
  std::size_t resident = 0;
  for (const unsigned char flag : flags) resident += flag & 1u;
  return static_cast<double>(resident) / static_cast<double>(pages);
}

// A freed run below the route's bound keeps its pages until a trim (a join of the small chunks
// alone leaves them); one above gives them back.
TEST(MemoryArena, FreedRunsKeepTheirPagesBelowTheRoutesBound) {
  constexpr std::size_t MB = std::size_t{1} << 20;
  ASSERT_TRUE(arena_reserve(64 * MB, 8 * MB));
  // Each freed chunk lies between chunks in use, so that its run stays its own size.
  void* small = arena_allocate(4 * MB);
  void* fence = arena_allocate(MB);
  void* large = arena_allocate(12 * MB);
  void* last_fence = arena_allocate(MB);
  ASSERT_TRUE(small != nullptr && fence != nullptr && large != nullptr && last_fence != nullptr);
  std::memset(small, 1, 4 * MB);
  std::memset(large, 1, 12 * MB);
  arena_free(small);
  arena_free(large);
  EXPECT_EQ(resident_share(small, 4 * MB), 1.0);
  EXPECT_EQ(resident_share(large, 12 * MB), 0.0);
  arena_join_small_chunks();  // only joins
  EXPECT_EQ(resident_share(small, 4 * MB), 1.0);
  arena_trim();
  EXPECT_EQ(resident_share(small, 4 * MB), 0.0);
  arena_free(fence);
  arena_free(last_fence);
  arena_release();
}

// Freed runs' pages wait within their bound, oldest given back first; a waiting span taken again
// comes with its pages, and a trim gives back what still waits.
TEST(MemoryArena, FreedPagesWaitWithinTheirBoundOldestFirst) {
  constexpr std::size_t MB = std::size_t{1} << 20;
  ASSERT_TRUE(arena_reserve(64 * MB, MB, 9 * MB));
  // Chunks between chunks in use, so that each freed run stays its own size.
  std::vector<void*> fences;
  std::vector<void*> spans;
  for (int i = 0; i < 3; ++i) {
    spans.push_back(arena_allocate(4 * MB));
    fences.push_back(arena_allocate(64 << 10));
    ASSERT_TRUE(spans.back() != nullptr && fences.back() != nullptr);
    std::memset(spans.back(), 1, 4 * MB);
  }
  arena_free(spans[0]);
  arena_free(spans[1]);
  EXPECT_EQ(resident_share(spans[0], 4 * MB), 1.0);
  EXPECT_EQ(resident_share(spans[1], 4 * MB), 1.0);
  arena_free(spans[2]);  // 12 MB would wait: the oldest goes
  EXPECT_EQ(resident_share(spans[0], 4 * MB), 0.0);
  EXPECT_EQ(resident_share(spans[1], 4 * MB), 1.0);
  EXPECT_EQ(resident_share(spans[2], 4 * MB), 1.0);
  // The lowest free run of the size is the first one's: taken again without its pages; the
  // second's is taken with them, as it waits.
  void* again = arena_allocate(4 * MB);
  void* after = arena_allocate(4 * MB);
  EXPECT_EQ(again, spans[0]);
  EXPECT_EQ(after, spans[1]);
  EXPECT_EQ(resident_share(after, 4 * MB), 1.0);
  arena_free(again);
  arena_free(after);
  arena_trim();
  EXPECT_EQ(resident_share(spans[1], 4 * MB), 0.0);
  EXPECT_EQ(resident_share(spans[2], 4 * MB), 0.0);
  for (void* fence : fences) arena_free(fence);
  arena_release();
}

// A run split at a page boundary has its new header at the start of a page that waits: the header
// keeps its page when the rest of the span is given back, and the run is found where it lies.
TEST(MemoryArena, WaitingPagesKeepTheHeadersInThem) {
  constexpr std::size_t MB = std::size_t{1} << 20;
  ASSERT_TRUE(arena_reserve(64 * MB, MB, 3 * MB));
  // The region starts at a page: the first chunk's offset there is the arena's header.
  char* probe = static_cast<char*>(arena_allocate(MB));
  ASSERT_NE(probe, nullptr);
  const auto header = reinterpret_cast<std::uintptr_t>(probe) % 4096;
  arena_free(probe);
  // Chunks that end at page boundaries: 2 MB, then 1 MB of it again.
  char* first = static_cast<char*>(arena_allocate(2 * MB - header));
  void* fence = arena_allocate(128 << 10);
  ASSERT_TRUE(first == probe && fence != nullptr);
  std::memset(first, 1, 2 * MB - header);
  arena_free(first);
  char* half = static_cast<char*>(arena_allocate(MB - header));
  ASSERT_EQ(half, first);
  // A later span pushes the rest of the first one out.
  void* later = arena_allocate(5 * MB / 2);
  ASSERT_NE(later, nullptr);
  arena_free(later);
  EXPECT_EQ(resident_share(first + MB, MB - header), 0.0);
  void* found = arena_allocate(MB - header);
  EXPECT_EQ(found, first + MB);
  for (void* chunk : {found, static_cast<void*>(half), fence}) arena_free(chunk);
  arena_release();
}

// The VmFlags line of the mapping that holds `at`, from /proc/self/smaps; empty if none.
std::string mapping_flags(const void* at) {
  std::ifstream maps("/proc/self/smaps");
  const auto address = reinterpret_cast<std::uintptr_t>(at);
  bool inside = false;
  for (std::string line; std::getline(maps, line);) {
    std::uintptr_t from = 0;
    std::uintptr_t to = 0;
    if (std::sscanf(line.c_str(), "%" SCNxPTR "-%" SCNxPTR " ", &from, &to) == 2 &&
        line.find(':') > line.find(' ')) {
      inside = address >= from && address < to;
    } else if (inside && line.rfind("VmFlags:", 0) == 0) {
      return line;
    }
  }
  return {};
}

bool has_flag(const std::string& flags, const char* flag) {
  return (flags + " ").find(std::string(" ") + flag + " ") != std::string::npos;
}

// Large chunks ask for large pages while they are held, and nothing else in the region does.
TEST(MemoryArena, OnlyHeldLargeChunksAskForLargePages) {
  if (!std::ifstream("/proc/self/smaps")) GTEST_SKIP() << "no /proc/self/smaps";
  if (!std::ifstream("/sys/kernel/mm/transparent_hugepage/enabled")) {
    GTEST_SKIP() << "a kernel without large pages for anonymous memory";
  }
  constexpr std::size_t MB = std::size_t{1} << 20;
  ASSERT_TRUE(arena_reserve(64 * MB));
  auto* small = static_cast<char*>(arena_allocate(MB));
  auto* large = static_cast<char*>(arena_allocate(16 * MB));
  ASSERT_TRUE(small != nullptr && large != nullptr);
  const std::string held = mapping_flags(large + 8 * MB);
  EXPECT_TRUE(has_flag(held, "hg")) << held;
  EXPECT_TRUE(has_flag(mapping_flags(small), "nh")) << mapping_flags(small);
  arena_free(large);
  EXPECT_TRUE(has_flag(mapping_flags(large + 8 * MB), "nh")) << mapping_flags(large + 8 * MB);
  arena_free(small);
  arena_release();
}
#endif

}  // namespace
