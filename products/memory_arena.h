// Memory for the big-number routes from a region reserved before a route starts. GMP cannot
// survive a failed allocation, so a route reserves its modelled peak first, and takes another path
// when that cannot be had; GMP's allocations and the route's own then come from the region, where
// nothing else in the process can take them.
#pragma once

#include <cstddef>

// Free runs of the region at least this large give their pages back to the system at once;
// smaller ones keep them until arena_trim.
inline constexpr std::size_t ARENA_KEEPS_PAGES_BELOW = std::size_t{1} << 20;

// Reserves `bytes` and directs GMP's allocations, and arena_allocate's, into the region until
// arena_release. Free runs below `keep_pages_below` bytes keep their pages until arena_trim: a
// route whose temporaries are freed and taken again many times over trades resident memory for
// the page faults of taking them anew. The pages larger runs give back wait, up to
// `pages_waiting_at_most` bytes in all, and go oldest first: a span taken again before its turn
// keeps them (the same trade for temporaries that come and go in the same place, with a bound on
// the memory it holds). Returns false, changing nothing, when the region cannot be had. One arena
// at a time: call it while no GMP number is alive and no other thread runs.
bool arena_reserve(std::size_t bytes, std::size_t keep_pages_below = ARENA_KEEPS_PAGES_BELOW,
                   std::size_t pages_waiting_at_most = 0);

// Gives the region back and GMP its own allocator again, after the calling thread's product
// scratch (see product.h). Requires every other chunk from the region freed and no other thread
// running. Safe without an arena.
void arena_release();

// `bytes` from the arena while there is one (from malloc when it cannot serve them, or without
// one); null when memory is short.
void* arena_allocate(std::size_t bytes);

// Frees a chunk from arena_allocate; null does nothing.
void arena_free(void* chunk);

// Resizes a chunk from arena_allocate (null: none yet) to `bytes`, keeping its contents up to the
// smaller size; null, with the chunk as it was, when memory is short.
void* arena_reallocate(void* chunk, std::size_t bytes);

// Joins the free small chunks, kept for their sizes, back into the free runs: for a route that
// has freed much in small chunks, before a phase that needs the room in large ones. The runs keep
// their pages as freeing left them (kept, waiting or given back). Safe without an arena.
void arena_join_small_chunks();

// The same, and lets the system take back the pages of every free run, also of those too small
// to give theirs back when freed, and of those that wait. Safe without an arena.
void arena_trim();

// How the arena has been used since it was reserved: the furthest byte of the region ever handed
// out, and the allocations it could not serve (served elsewhere: a model that is too small).
struct ArenaUse {
  std::size_t high_water = 0;
  std::size_t overflows = 0;
};
ArenaUse arena_use();

// The size of the arena in force, 0 without one.
std::size_t arena_reserved_bytes();
