// A binary fraction with a known error: what the conversions to decimal take.
#pragma once

#include <gmp.h>

#include <cstddef>
#include <cstdint>

// A binary fraction f of `count` limbs (B = 2^GMP_NUMB_BITS) with a known error: the value it
// stands for lies in [f, f + error) B^-count.
struct BoundedFraction {
  // owned, from arena_allocate; limbs[count - 1] is the most significant
  mp_limb_t* limbs = nullptr;
  std::size_t count = 0;
  std::uint64_t error = 0;
};

// Frees the fraction's limbs; safe on one that holds none.
void release_fraction(BoundedFraction* fraction);
