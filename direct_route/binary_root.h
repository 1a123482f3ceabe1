// sqrt(2) in binary, by Newton's iteration for 1/sqrt(2): every iteration is a square and a
// product, and the last iteration's own residual proves the bound on the result's error.
#pragma once

#include <gmp.h>

#include <cstddef>
#include <cstdint>

#include "radix/bounded_fraction.h"

// Receives the early fraction of a level (see binary_root) and owns it from then on.
using EarlyFractionSink = void (*)(void* context, unsigned level, BoundedFraction early);

enum class RootStatus { PROVEN, UNPROVEN, NO_MEMORY };

// Computes the fraction part of sqrt(2) to `count` limbs (count >= 2). For each level k from
// early_levels down to 1, the leading early_counts[k-1] limbs (early_counts decreasing, below
// count) are handed to `sink` as a fraction of their own as soon as the iterate k iterations before
// the end has them, the deepest level first. Returns PROVEN with the result in `root`, or
// (holding nothing) NO_MEMORY or UNPROVEN when a bound, the early fractions' included, cannot be
// proven; the early fractions are the sink's to free either way.
RootStatus binary_root(std::size_t count, const std::size_t* early_counts, unsigned early_levels,
                       EarlyFractionSink sink, void* context, BoundedFraction* root);
