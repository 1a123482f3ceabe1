#include "bignum/memory_arena.h"

#include <gmp.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <iterator>
#include <mutex>
#include <thread>

#include "platform/reserved_region.h"

namespace {

constexpr std::size_t ALIGNMENT = 16;
constexpr std::size_t HEADER = 16;                 // a block's size, ahead of what it holds
constexpr std::size_t SMALLEST_SPLIT = 64;         // a rest smaller than this stays with the block
constexpr std::size_t DISCARD_AT_LEAST = 1 << 20;  // free runs this large give their pages back
// Blocks up to 64 KB come in four sizes to every doubling, each size with a free list of its own,
// so that the many small blocks neither fragment the region nor lengthen the search for large
// ones, and lose at most a fifth of their room to the rounding.
constexpr int CLASSES_PER_DOUBLING = 4;
constexpr int SMALL_CLASSES = 10 * CLASSES_PER_DOUBLING + 1;  // 64 B .. 64 KB
constexpr std::size_t SMALLEST_CLASS = 64;

// At the start of every free block; the list runs by address.
struct FreeBlock {
  std::size_t size;
  FreeBlock* next;
};

// At the start of every free small block.
struct SmallBlock {
  std::size_t size;
  SmallBlock* next;
};

// Held for a few hundred instructions at most, by two threads that allocate often: one that finds
// it taken spins, because sleeping and waking would cost far more.
struct SpinLock {
  std::atomic<bool> taken{false};
  void lock() {
    for (int round = 0; taken.exchange(true, std::memory_order_acquire); ++round) {
      if (round >= 64) std::this_thread::yield();
    }
  }
  void unlock() { taken.store(false, std::memory_order_release); }
};

struct Arena {
  SpinLock lock;
  char* base = nullptr;
  std::size_t bytes = 0;
  FreeBlock* free_list = nullptr;
  SmallBlock* small_free[SMALL_CLASSES] = {};
  ArenaUse use;
  void* (*gmp_allocate)(std::size_t) = nullptr;  // GMP's own, for arena_release
  void* (*gmp_reallocate)(void*, std::size_t, std::size_t) = nullptr;
  void (*gmp_free)(void*, std::size_t) = nullptr;
};

Arena arena;

bool in_arena(const void* block) {
  const char* at = static_cast<const char*>(block);
  return arena.base != nullptr && at >= arena.base && at < arena.base + arena.bytes;
}

// The size of small class k: 64, 80, 96, 112, 128, 160, ... bytes, all multiples of ALIGNMENT.
std::size_t class_size(int k) {
  return (SMALLEST_CLASS << (k / CLASSES_PER_DOUBLING)) / CLASSES_PER_DOUBLING *
         (CLASSES_PER_DOUBLING + k % CLASSES_PER_DOUBLING);
}

// The class of a block of `size` bytes, or -1 for a large one.
int small_class(std::size_t size) {
  if (size <= SMALLEST_CLASS) return 0;
  // size lies in (base, 2 base] for base = 64 << doubling: class 4 doubling + j has
  // base (4 + j) / 4 bytes.
  const int doubling = static_cast<int>(std::bit_width((size - 1) / SMALLEST_CLASS)) - 1;
  const std::size_t base = SMALLEST_CLASS << doubling;
  const std::size_t step = base / CLASSES_PER_DOUBLING;
  const int k = CLASSES_PER_DOUBLING * doubling + static_cast<int>((size - base + step - 1) / step);
  return k < SMALL_CLASSES ? k : -1;
}

std::size_t block_size(std::size_t bytes) {
  const std::size_t size = (bytes + HEADER + ALIGNMENT - 1) / ALIGNMENT * ALIGNMENT;
  const int k = small_class(size);
  return k < 0 ? size : class_size(k);
}

std::size_t& size_of(char* start) { return *reinterpret_cast<std::size_t*>(start); }

void note_end(const char* end) {
  arena.use.high_water = std::max(arena.use.high_water, static_cast<std::size_t>(end - arena.base));
}

// The first free block that holds `size` bytes, split; the block's start, or null. Lock held.
char* take(std::size_t size) {
  for (FreeBlock** link = &arena.free_list; *link != nullptr; link = &(*link)->next) {
    FreeBlock* block = *link;
    if (block->size < size) continue;
    char* start = reinterpret_cast<char*>(block);
    if (block->size - size >= SMALLEST_SPLIT) {
      FreeBlock* rest = reinterpret_cast<FreeBlock*>(start + size);
      rest->size = block->size - size;
      rest->next = block->next;
      *link = rest;
    } else {
      size = block->size;
      *link = block->next;
    }
    size_of(start) = size;
    note_end(start + size);
    return start;
  }
  return nullptr;
}

// Returns [start, start + size) to the free list, joined with free neighbours. Lock held.
void give_back(char* start, std::size_t size) {
  FreeBlock* before = nullptr;
  FreeBlock** link = &arena.free_list;
  while (*link != nullptr && reinterpret_cast<char*>(*link) < start) {
    before = *link;
    link = &(*link)->next;
  }
  FreeBlock* block = reinterpret_cast<FreeBlock*>(start);
  block->size = size;
  block->next = *link;
  *link = block;
  if (block->next != nullptr && start + size == reinterpret_cast<char*>(block->next)) {
    block->size += block->next->size;
    block->next = block->next->next;
  }
  if (before != nullptr && reinterpret_cast<char*>(before) + before->size == start) {
    before->size += block->size;
    before->next = block->next;
    block = before;
  }
  // Pages of a large free run go back to the system, up to what was ever touched.
  char* from = reinterpret_cast<char*>(block) + sizeof(FreeBlock);
  char* to = std::min(reinterpret_cast<char*>(block) + block->size, arena.base + arena.use.high_water);
  if (to > from && static_cast<std::size_t>(to - from) >= DISCARD_AT_LEAST) {
    discard_pages(from, static_cast<std::size_t>(to - from));
  }
}

// The free block that starts at `at`, unlinked; null when there is none. Lock held.
FreeBlock* unlink_free_at(const char* at) {
  for (FreeBlock** link = &arena.free_list; *link != nullptr; link = &(*link)->next) {
    if (reinterpret_cast<char*>(*link) == at) {
      FreeBlock* block = *link;
      *link = block->next;
      return block;
    }
    if (reinterpret_cast<char*>(*link) > at) break;
  }
  return nullptr;
}

// A block of `size` bytes (a class size for small ones); its start, or null. Lock held.
char* take_block(std::size_t size) {
  const int k = small_class(size);
  if (k >= 0 && arena.small_free[k] != nullptr) {
    SmallBlock* block = arena.small_free[k];
    arena.small_free[k] = block->next;
    size_of(reinterpret_cast<char*>(block)) = size;
    return reinterpret_cast<char*>(block);
  }
  char* start = take(size);
  // A small block keeps its class size: a split-off rest would not fit its list.
  if (start != nullptr && k >= 0 && size_of(start) != size) {
    give_back(start + size, size_of(start) - size);
    size_of(start) = size;
  }
  return start;
}

// Small blocks go back to their class's list, large ones to the region. Lock held.
void give_back_block(char* start) {
  const std::size_t size = size_of(start);
  const int k = small_class(size);
  if (k < 0 || class_size(k) != size) {
    give_back(start, size);
    return;
  }
  SmallBlock* block = reinterpret_cast<SmallBlock*>(start);
  block->next = arena.small_free[k];
  arena.small_free[k] = block;
}

void* arena_allocate(std::size_t bytes) {
  std::lock_guard<SpinLock> hold(arena.lock);
  char* start = take_block(block_size(bytes));
  return start != nullptr ? start + HEADER : nullptr;
}

void arena_free(void* block) {
  std::lock_guard<SpinLock> hold(arena.lock);
  give_back_block(static_cast<char*>(block) - HEADER);
}

// Grows or shrinks in place where it can; null when the arena cannot hold the new size.
void* arena_reallocate(void* block, std::size_t bytes) {
  std::lock_guard<SpinLock> hold(arena.lock);
  char* start = static_cast<char*>(block) - HEADER;
  const std::size_t have = size_of(start);
  const std::size_t need = block_size(bytes);
  if (small_class(have) >= 0 || small_class(need) >= 0) {
    // Into a block of the new size: no small block is split or joined.
    if (need == have) return block;
    char* moved = take_block(need);
    if (moved == nullptr) return nullptr;
    std::memcpy(moved + HEADER, block, std::min(have, need) - HEADER);
    give_back_block(start);
    return moved + HEADER;
  }
  if (need <= have) {
    if (have - need >= SMALLEST_SPLIT) {
      size_of(start) = need;
      give_back(start + need, have - need);
    }
    return block;
  }
  if (FreeBlock* next = unlink_free_at(start + have)) {
    const std::size_t joined = have + next->size;
    if (joined >= need) {
      size_of(start) = joined;
      if (joined - need >= SMALLEST_SPLIT) {
        size_of(start) = need;
        give_back(start + need, joined - need);
      }
      note_end(start + size_of(start));
      return block;
    }
    give_back(start + have, next->size);
  }
  char* moved = take_block(need);
  if (moved == nullptr) return nullptr;
  std::memcpy(moved + HEADER, block, have - HEADER);
  give_back(start, have);
  return moved + HEADER;
}

void* reallocate_anywhere(void* block, std::size_t old_bytes, std::size_t bytes) {
  if (!in_arena(block)) return std::realloc(block, bytes);
  if (void* grown = arena_reallocate(block, bytes)) return grown;
  void* moved = std::malloc(bytes);
  if (moved == nullptr) return nullptr;
  {
    std::lock_guard<SpinLock> hold(arena.lock);
    ++arena.use.overflows;
  }
  std::memcpy(moved, block, std::min(old_bytes, bytes));
  arena_free(block);
  return moved;
}

// GMP's allocation functions while there is an arena. GMP has no way to go on without the memory
// it asks for; the model of the route's peak is what keeps this from happening.
void* gmp_allocate(std::size_t bytes) {
  void* block = bignum_allocate(bytes);
  if (block == nullptr) std::abort();
  return block;
}

void* gmp_reallocate(void* block, std::size_t old_bytes, std::size_t bytes) {
  void* moved = reallocate_anywhere(block, old_bytes, bytes);
  if (moved == nullptr) std::abort();
  return moved;
}

void gmp_free(void* block, std::size_t) { bignum_free(block); }

}  // namespace

bool arena_reserve(std::size_t bytes) {
  if (arena.base != nullptr) return false;
  bytes = (bytes + ALIGNMENT - 1) / ALIGNMENT * ALIGNMENT;
  char* region = static_cast<char*>(reserve_region(bytes));
  if (region == nullptr) return false;
  arena.base = region;
  arena.bytes = bytes;
  arena.free_list = reinterpret_cast<FreeBlock*>(region);
  arena.free_list->size = bytes;
  arena.free_list->next = nullptr;
  std::fill(std::begin(arena.small_free), std::end(arena.small_free), nullptr);
  arena.use = ArenaUse{};
  mp_get_memory_functions(&arena.gmp_allocate, &arena.gmp_reallocate, &arena.gmp_free);
  mp_set_memory_functions(gmp_allocate, gmp_reallocate, gmp_free);
  return true;
}

void arena_release() {
  if (arena.base == nullptr) return;
  mp_set_memory_functions(arena.gmp_allocate, arena.gmp_reallocate, arena.gmp_free);
  release_region(arena.base, arena.bytes);
  arena.base = nullptr;
  arena.bytes = 0;
  arena.free_list = nullptr;
}

void* bignum_allocate(std::size_t bytes) {
  if (arena.base != nullptr) {
    if (void* block = arena_allocate(bytes)) return block;
    std::lock_guard<SpinLock> hold(arena.lock);
    ++arena.use.overflows;
  }
  return std::malloc(bytes);
}

void bignum_free(void* block) {
  if (block == nullptr) return;
  if (in_arena(block)) {
    arena_free(block);
  } else {
    std::free(block);
  }
}

ArenaUse arena_use() {
  std::lock_guard<SpinLock> hold(arena.lock);
  return arena.use;
}

std::size_t arena_reserved_bytes() { return arena.bytes; }
