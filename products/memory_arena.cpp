#include "products/memory_arena.h"

#include <gmp.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <thread>

#include "platform/reserved_region.h"
#include "products/product.h"

namespace {

constexpr std::size_t ALIGNMENT = 16;
constexpr std::size_t HEADER = 16;  // a chunk's header, ahead of what it holds
// Address space left beside a region (see arena_reserve).
constexpr std::size_t ADDRESS_HEADROOM = std::size_t{24} << 20;
constexpr std::size_t IN_USE = 1;          // in a header's size word (sizes are multiples of 16)
constexpr std::size_t SMALLEST_REST = 64;  // a rest smaller than this stays with the chunk
// Chunks up to 64 KB come in four sizes to every doubling, each size with a free list of its own,
// so that the many small chunks neither fragment the region nor crowd the free runs, and lose at
// most a fifth of their room to the rounding.
constexpr int CLASSES_PER_DOUBLING = 4;
constexpr int SMALL_CLASSES = 10 * CLASSES_PER_DOUBLING + 1;  // 64 B .. 64 KB
constexpr std::size_t SMALLEST_CLASS = 64;
// Free runs are kept in bins by size, four to every doubling from 64 bytes, with a bit for every
// bin that holds any: finding, freeing and joining take the same few steps however many chunks
// the region holds.
constexpr int BINS_PER_DOUBLING = 4;
constexpr int FIRST_DOUBLING = 6;  // 64 bytes
constexpr int BINS = (64 - FIRST_DOUBLING) * BINS_PER_DOUBLING;
constexpr int BIN_WORDS = (BINS + 63) / 64;
constexpr int LOOKS_IN_BIN = 16;
// Chunks of at least this size from region_allocate take large pages while they are held (see
// advise_large_pages); the rest of the region, small pages only. Measured on a virtual machine
// whose page faults are dear, without a checkpoint file at 10^8 digits: 5.7-6.5 s against 8.3-8.8
// s with small pages only, at 367-377 MB against 355-377 MB; with -r, q after 30 s saved in 9.7 s
// against 12.9 s, and the resumed run took 77 s against 113 s. At 10^7 digits, once the largest
// products' FFT scratch came and went with each of them: 0.18 s against 0.20 s, at 44-47 MB
// against 44-46 MB (plain GMP's 45.8 MB); from 10^6 to 3 10^7 digits no peak grew.
constexpr std::size_t LARGE_PAGES_FROM = std::size_t{2} << 20;

// At the start of every chunk, free or not. `below` is the size of the chunk just below it in
// the region (0 for the first), so that a freed chunk finds a free neighbour on either side.
struct Header {
  std::size_t size_and_use;
  std::size_t below;
};

// A free run: its header, then the links of its bin's list.
struct FreeRun {
  Header header;
  FreeRun* next;
  FreeRun* previous;
};

// A free small chunk: in use as far as the runs are concerned, and on its class's list.
struct SmallChunk {
  Header header;
  SmallChunk* next;
};

// Taken by two threads that allocate often, mostly for a few hundred instructions: one that finds
// it taken spins, because sleeping and waking would cost far more, and yields after a while,
// because a free of a large run or a trim holds it while the system takes the pages back. (Giving
// the pages back, and copying a moved chunk, outside it was tried: at 10^8 digits with -r the
// waits fell and seven runs were 4% quicker on average, but another thread's new pages can then
// come while the old ones are still held, and one of the seven peaked 12 MB above the highest of
// the build before, past twice plain GMP's.)
struct SpinLock {
  std::atomic<bool> taken{false};
  void lock() {
    for (int round = 0; taken.exchange(true, std::memory_order_acquire); ++round) {
      if (round >= 64) std::this_thread::yield();
    }
  }
  void unlock() { taken.store(false, std::memory_order_release); }
};

// Free spans whose pages wait to be given back, oldest first: a span taken again before its turn
// is used with its pages as they are, not faulted in anew.
constexpr int WAITING_SPANS = 16;
struct WaitingSpan {
  char* from;
  char* to;
};

struct Arena {
  SpinLock lock;
  WaitingSpan waiting[WAITING_SPANS] = {};
  int waiting_count = 0;
  std::size_t waiting_bytes = 0;
  std::size_t waiting_at_most = 0;  // bytes; see arena_reserve
  char* base = nullptr;
  std::size_t bytes = 0;
  std::size_t discard_at_least = ARENA_KEEPS_PAGES_BELOW;  // see arena_reserve
  FreeRun* bins[BINS] = {};
  std::uint64_t bins_held[BIN_WORDS] = {};
  SmallChunk* small_free[SMALL_CLASSES] = {};
  ArenaUse use;
  void* (*gmp_allocate)(std::size_t) = nullptr;  // GMP's own, for arena_release
  void* (*gmp_reallocate)(void*, std::size_t, std::size_t) = nullptr;
  void (*gmp_free)(void*, std::size_t) = nullptr;
};

Arena arena;

bool in_arena(const void* chunk) {
  const char* at = static_cast<const char*>(chunk);
  return arena.base != nullptr && at >= arena.base && at < arena.base + arena.bytes;
}

// The size of small class k: 64, 80, 96, 112, 128, 160, ... bytes, all multiples of ALIGNMENT.
std::size_t class_size(int k) {
  return (SMALLEST_CLASS << (k / CLASSES_PER_DOUBLING)) / CLASSES_PER_DOUBLING *
         (CLASSES_PER_DOUBLING + k % CLASSES_PER_DOUBLING);
}

// The class of a chunk of `size` bytes, or -1 for a large one.
int small_class(std::size_t size) {
  if (size <= SMALLEST_CLASS) return 0;
  // size lies in (base, 2 base] for base = 64 << doubling: class 4 doubling + j has
  // base (4 + j) / 4 bytes.
  const int doubling = static_cast<int>(std::bit_width((size - 1) / SMALLEST_CLASS)) - 1;
  const std::size_t base = SMALLEST_CLASS << doubling;
  const std::size_t spacing = base / CLASSES_PER_DOUBLING;
  const int k =
      CLASSES_PER_DOUBLING * doubling + static_cast<int>((size - base + spacing - 1) / spacing);
  return k < SMALL_CLASSES ? k : -1;
}

std::size_t chunk_size(std::size_t bytes) {
  const std::size_t size = (bytes + HEADER + ALIGNMENT - 1) / ALIGNMENT * ALIGNMENT;
  const int k = small_class(size);
  return k < 0 ? size : class_size(k);
}

// The bin of a free run of `size` >= 64 bytes: runs in bin b are at least as large as any in a
// lower bin, and every run in a higher bin holds any size of bin b.
int bin_of(std::size_t size) {
  const int doubling = static_cast<int>(std::bit_width(size)) - 1;
  const int quarter = static_cast<int>(size >> (doubling - 2)) & (BINS_PER_DOUBLING - 1);
  return BINS_PER_DOUBLING * (doubling - FIRST_DOUBLING) + quarter;
}

Header& header_of(char* start) { return *reinterpret_cast<Header*>(start); }
std::size_t size_of(char* start) { return header_of(start).size_and_use & ~IN_USE; }
bool is_free(char* start) { return (header_of(start).size_and_use & IN_USE) == 0; }
char* region_end() { return arena.base + arena.bytes; }

// Takes the i-th waiting span off the list. Lock held.
void drop_waiting(int i) {
  arena.waiting_bytes -= static_cast<std::size_t>(arena.waiting[i].to - arena.waiting[i].from);
  std::copy(arena.waiting + i + 1, arena.waiting + arena.waiting_count, arena.waiting + i);
  --arena.waiting_count;
}

// Gives back the pages of the oldest waiting span. Lock held.
void discard_oldest() {
  const WaitingSpan oldest = arena.waiting[0];
  drop_waiting(0);
  discard_pages(oldest.from, static_cast<std::size_t>(oldest.to - oldest.from));
}

// The free span [from, to), which holds no header, gives its pages back: at once where it is
// larger than what may wait, else once the spans freed before it have, and the waiting spans
// together are within what may wait. Lock held.
void discard_later(char* from, char* to) {
  const auto bytes = static_cast<std::size_t>(to - from);
  if (bytes > arena.waiting_at_most) {
    discard_pages(from, bytes);
    return;
  }
  while (arena.waiting_count == WAITING_SPANS ||
         arena.waiting_bytes + bytes > arena.waiting_at_most) {
    discard_oldest();
  }
  arena.waiting[arena.waiting_count++] = WaitingSpan{from, to};
  arena.waiting_bytes += bytes;
}

// [from, to) is used from now on (a chunk, or a header): no waiting span keeps any of it, and what
// a span held beside it waits again. Lock held.
void claim(char* from, char* to) {
  WaitingSpan rests[2 * WAITING_SPANS];
  int rest_count = 0;
  for (int i = 0; i < arena.waiting_count;) {
    const WaitingSpan span = arena.waiting[i];
    if (span.to <= from || span.from >= to) {
      ++i;
      continue;
    }
    drop_waiting(i);
    if (span.from < from) rests[rest_count++] = WaitingSpan{span.from, from};
    if (span.to > to) rests[rest_count++] = WaitingSpan{to, span.to};
  }
  for (int i = 0; i < rest_count; ++i) discard_later(rests[i].from, rests[i].to);
}

// Makes [start, start + size) one chunk, in use or not, and tells the chunk above its size.
// Requires `start`'s `below` to be right already.
void write_chunk(char* start, std::size_t size, bool in_use) {
  if (arena.waiting_count != 0) claim(start, start + (in_use ? size : sizeof(FreeRun)));
  header_of(start).size_and_use = size | (in_use ? IN_USE : 0);
  if (start + size < region_end()) header_of(start + size).below = size;
}

void note_end(const char* end) {
  arena.use.high_water = std::max(arena.use.high_water, static_cast<std::size_t>(end - arena.base));
}

// Puts [start, start + size) on its bin as a free run. Each bin is kept in address order, as far
// as a few looks go, so that the lowest runs are used first and the region's far end stays
// untouched as long as possible. Lock held.
void bin_run(char* start, std::size_t size) {
  write_chunk(start, size, false);
  const int b = bin_of(size);
  FreeRun* run = reinterpret_cast<FreeRun*>(start);
  FreeRun* before = nullptr;
  FreeRun* after = arena.bins[b];
  for (int look = 0; after != nullptr && after < run && look < LOOKS_IN_BIN; ++look) {
    before = after;
    after = after->next;
  }
  run->previous = before;
  run->next = after;
  if (after != nullptr) after->previous = run;
  if (before != nullptr) {
    before->next = run;
  } else {
    arena.bins[b] = run;
  }
  arena.bins_held[b / 64] |= std::uint64_t{1} << (b % 64);
}

// Takes a free run off its bin. Lock held.
void unbin_run(FreeRun* run) {
  if (run->next != nullptr) run->next->previous = run->previous;
  if (run->previous != nullptr) {
    run->previous->next = run->next;
    return;
  }
  const int b = bin_of(size_of(reinterpret_cast<char*>(run)));
  arena.bins[b] = run->next;
  if (run->next == nullptr) arena.bins_held[b / 64] &= ~(std::uint64_t{1} << (b % 64));
}

// The lowest bin above b that holds a run, or -1.
int held_bin_above(int b) {
  for (int word = (b + 1) / 64; word < BIN_WORDS; ++word) {
    std::uint64_t held = arena.bins_held[word];
    if (word == (b + 1) / 64) held &= ~std::uint64_t{0} << ((b + 1) % 64);
    if (held != 0) return 64 * word + std::countr_zero(held);
  }
  return -1;
}

// A free run of at least `size` bytes, off its bin; null when there is none. Lock held.
FreeRun* find_run(std::size_t size) {
  const int b = bin_of(size);
  FreeRun* run = arena.bins[b];
  for (int look = 0; run != nullptr && look < LOOKS_IN_BIN; ++look, run = run->next) {
    if (size_of(reinterpret_cast<char*>(run)) >= size) break;
  }
  if (run == nullptr || size_of(reinterpret_cast<char*>(run)) < size) {
    const int above = held_bin_above(b);
    if (above >= 0) {
      run = arena.bins[above];
    } else {
      // Nothing larger anywhere: the rest of the bin, past the runs looked at.
      for (; run != nullptr; run = run->next) {
        if (size_of(reinterpret_cast<char*>(run)) >= size) break;
      }
    }
  }
  if (run != nullptr) unbin_run(run);
  return run;
}

// A chunk of `size` bytes from the free runs (a little more when the rest would be too small to
// keep); its start, or null. Lock held.
char* take(std::size_t size) {
  FreeRun* run = find_run(size);
  if (run == nullptr) return nullptr;
  char* start = reinterpret_cast<char*>(run);
  const std::size_t have = size_of(start);
  if (have - size >= SMALLEST_REST) {
    write_chunk(start, size, true);
    bin_run(start + size, have - size);
  } else {
    write_chunk(start, have, true);
  }
  note_end(start + size_of(start));
  return start;
}

// Frees the chunk at `start`, joined with free neighbours. Large free runs give back the pages
// not yet given back: those of the chunk and of neighbours too small to have given theirs. Lock
// held.
void give_back(char* start) {
  char* run = start;
  std::size_t size = size_of(start);
  char* discard_from = start;
  char* discard_to = start + size;
  char* above = start + size;
  if (above < region_end() && is_free(above)) {
    const std::size_t more = size_of(above);
    unbin_run(reinterpret_cast<FreeRun*>(above));
    if (more < arena.discard_at_least) discard_to = above + more;
    size += more;
  }
  if (header_of(start).below != 0) {
    char* below = start - header_of(start).below;
    if (is_free(below)) {
      const std::size_t more = size_of(below);
      unbin_run(reinterpret_cast<FreeRun*>(below));
      if (more < arena.discard_at_least) discard_from = below;
      run = below;
      size += more;
    }
  }
  bin_run(run, size);
  if (size < arena.discard_at_least) return;
  char* from = std::max(discard_from, run + sizeof(FreeRun));
  char* to = std::min(discard_to, arena.base + arena.use.high_water);
  if (to > from) discard_later(from, to);
}

// Cuts the chunk at `start` down to `size` bytes when the rest is worth freeing. Lock held.
void shrink(char* start, std::size_t size) {
  const std::size_t have = size_of(start);
  if (have - size < SMALLEST_REST) return;
  write_chunk(start, size, true);
  write_chunk(start + size, have - size, true);
  give_back(start + size);
}

// A chunk of `size` bytes (a class size for small ones); its start, or null. Lock held.
char* take_chunk(std::size_t size) {
  const int k = small_class(size);
  if (k >= 0 && arena.small_free[k] != nullptr) {
    SmallChunk* chunk = arena.small_free[k];
    arena.small_free[k] = chunk->next;
    return reinterpret_cast<char*>(chunk);
  }
  return take(size);
}

// Small chunks of a class size go back to their class's list, the rest to the runs. Lock held.
void give_back_chunk(char* start) {
  const std::size_t size = size_of(start);
  const int k = small_class(size);
  if (k < 0 || class_size(k) != size) {
    give_back(start);
    return;
  }
  SmallChunk* chunk = reinterpret_cast<SmallChunk*>(start);
  chunk->next = arena.small_free[k];
  arena.small_free[k] = chunk;
}

// The free small chunks back into the free runs. Lock held.
void join_small_chunks() {
  for (SmallChunk*& list : arena.small_free) {
    while (list != nullptr) {
      SmallChunk* chunk = list;
      list = chunk->next;
      give_back(reinterpret_cast<char*>(chunk));
    }
  }
}

// Large pages for a large chunk's whole held span, or small pages again before it is freed or
// resized (a chunk resized, or moved, keeps small pages).
void advise_chunk(char* start, bool large_pages) {
  const std::size_t size = size_of(start);
  if (size >= LARGE_PAGES_FROM) {
    advise_large_pages(start + HEADER, size - HEADER, large_pages);
  }
}

void* region_allocate(std::size_t bytes) {
  char* start;
  {
    std::lock_guard<SpinLock> hold(arena.lock);
    start = take_chunk(chunk_size(bytes));
  }
  if (start == nullptr) return nullptr;
  advise_chunk(start, true);
  return start + HEADER;
}

void region_free(void* chunk) {
  char* start = static_cast<char*>(chunk) - HEADER;
  advise_chunk(start, false);
  std::lock_guard<SpinLock> hold(arena.lock);
  give_back_chunk(start);
}

// Grows or shrinks in place where it can; null when the arena cannot hold the new size.
void* region_reallocate(void* chunk, std::size_t bytes) {
  char* start = static_cast<char*>(chunk) - HEADER;
  advise_chunk(start, false);
  std::lock_guard<SpinLock> hold(arena.lock);
  const std::size_t have = size_of(start);
  const std::size_t need = chunk_size(bytes);
  if (small_class(have) >= 0 || small_class(need) >= 0) {
    // Into a chunk of the new size: small chunks keep their class sizes.
    if (need == have) return chunk;
  } else if (need <= have) {
    shrink(start, need);
    return chunk;
  } else if (char* above = start + have;
             above < region_end() && is_free(above) && have + size_of(above) >= need) {
    const std::size_t joined = have + size_of(above);
    unbin_run(reinterpret_cast<FreeRun*>(above));
    write_chunk(start, joined, true);
    shrink(start, need);
    note_end(start + size_of(start));
    return chunk;
  }
  char* moved = take_chunk(need);
  if (moved == nullptr) return nullptr;
  std::memcpy(moved + HEADER, chunk, std::min(have, need) - HEADER);
  give_back_chunk(start);
  return moved + HEADER;
}

void* reallocate_anywhere(void* chunk, std::size_t old_bytes, std::size_t bytes) {
  if (!in_arena(chunk)) return std::realloc(chunk, bytes);
  if (void* grown = region_reallocate(chunk, bytes)) return grown;
  void* moved = std::malloc(bytes);
  if (moved == nullptr) return nullptr;
  {
    std::lock_guard<SpinLock> hold(arena.lock);
    ++arena.use.overflows;
  }
  std::memcpy(moved, chunk, std::min(old_bytes, bytes));
  region_free(chunk);
  return moved;
}

// GMP's allocation functions while there is an arena. GMP has no way to go on without the memory
// it asks for; the model of the route's peak is what keeps this from happening.
void* gmp_allocate(std::size_t bytes) {
  void* chunk = arena_allocate(bytes);
  if (chunk == nullptr) std::abort();
  return chunk;
}

void* gmp_reallocate(void* chunk, std::size_t old_bytes, std::size_t bytes) {
  void* moved = reallocate_anywhere(chunk, old_bytes, bytes);
  if (moved == nullptr) std::abort();
  return moved;
}

void gmp_free(void* chunk, std::size_t) { arena_free(chunk); }

}  // namespace

bool arena_reserve(std::size_t bytes, std::size_t keep_pages_below,
                   std::size_t pages_waiting_at_most) {
  if (arena.base != nullptr || bytes < SMALLEST_REST) return false;
  bytes = (bytes + ALIGNMENT - 1) / ALIGNMENT * ALIGNMENT;
  char* region = static_cast<char*>(reserve_region(bytes));
  if (region == nullptr) return false;
  advise_small_pages(region, bytes);
  // Under a limit on the address space, the region must leave room for what does not come from
  // it: a second thread's stack and the small allocations from malloc (FLINT's caches among
  // them), whose failure would end the run.
  void* headroom = reserve_region(ADDRESS_HEADROOM);
  if (headroom == nullptr) {
    release_region(region, bytes);
    return false;
  }
  release_region(headroom, ADDRESS_HEADROOM);
  arena.base = region;
  arena.bytes = bytes;
  arena.discard_at_least = keep_pages_below;
  arena.waiting_count = 0;
  arena.waiting_bytes = 0;
  arena.waiting_at_most = pages_waiting_at_most;
  std::fill(std::begin(arena.bins), std::end(arena.bins), nullptr);
  std::fill(std::begin(arena.bins_held), std::end(arena.bins_held), 0);
  std::fill(std::begin(arena.small_free), std::end(arena.small_free), nullptr);
  header_of(region).below = 0;
  bin_run(region, bytes);
  arena.use = ArenaUse{};
  mp_get_memory_functions(&arena.gmp_allocate, &arena.gmp_reallocate, &arena.gmp_free);
  mp_set_memory_functions(gmp_allocate, gmp_reallocate, gmp_free);
  return true;
}

void arena_release() {
  if (arena.base == nullptr) return;
  release_product_scratch();
  mp_set_memory_functions(arena.gmp_allocate, arena.gmp_reallocate, arena.gmp_free);
  release_region(arena.base, arena.bytes);
  arena.base = nullptr;
  arena.bytes = 0;
}

void* arena_allocate(std::size_t bytes) {
  if (arena.base != nullptr) {
    if (void* chunk = region_allocate(bytes)) return chunk;
    std::lock_guard<SpinLock> hold(arena.lock);
    ++arena.use.overflows;
  }
  return std::malloc(bytes);
}

void arena_free(void* chunk) {
  if (chunk == nullptr) return;
  if (in_arena(chunk)) {
    region_free(chunk);
  } else {
    std::free(chunk);
  }
}

void* arena_reallocate(void* chunk, std::size_t bytes) {
  if (chunk == nullptr) return arena_allocate(bytes);
  if (!in_arena(chunk)) return std::realloc(chunk, bytes);
  const std::size_t held = size_of(static_cast<char*>(chunk) - HEADER) - HEADER;
  return reallocate_anywhere(chunk, held, bytes);
}

void arena_join_small_chunks() {
  if (arena.base == nullptr) return;
  std::lock_guard<SpinLock> hold(arena.lock);
  join_small_chunks();
}

void arena_trim() {
  if (arena.base == nullptr) return;
  std::lock_guard<SpinLock> hold(arena.lock);
  join_small_chunks();
  for (FreeRun* run : arena.bins) {
    for (; run != nullptr; run = run->next) {
      char* start = reinterpret_cast<char*>(run);
      char* to = std::min(start + size_of(start), arena.base + arena.use.high_water);
      char* from = start + sizeof(FreeRun);
      if (to > from) discard_pages(from, static_cast<std::size_t>(to - from));
    }
  }
  arena.waiting_count = 0;  // their pages went with their runs'
  arena.waiting_bytes = 0;
}

ArenaUse arena_use() {
  std::lock_guard<SpinLock> hold(arena.lock);
  return arena.use;
}

std::size_t arena_reserved_bytes() { return arena.bytes; }
