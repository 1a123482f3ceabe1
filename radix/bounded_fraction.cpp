#include "radix/bounded_fraction.h"

#include "products/memory_arena.h"

void release_fraction(BoundedFraction* fraction) {
  arena_free(fraction->limbs);
  fraction->limbs = nullptr;
  fraction->count = 0;
}
