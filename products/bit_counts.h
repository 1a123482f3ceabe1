// GMP takes bit counts and small operands as unsigned long (mp_bitcnt_t), which has 32 bits on
// Windows. A route takes a digit count only where the largest bit count it hands GMP fits.
#pragma once

#include <gmp.h>

#include <cstdint>
#include <limits>

// log2(10): the bits of a decimal digit.
inline constexpr double BITS_PER_DIGIT = 3.32192809488736234787;

// Bits a route hands GMP per decimal place at most, with room: the direct route's root has
// log2(10) = 3.33 bits a place; the block engine's conversions shift by twice its numbers' bits.
inline constexpr std::uint64_t DIRECT_ROUTE_BITS_PER_PLACE = 4;
inline constexpr std::uint64_t BLOCK_ENGINE_BITS_PER_PLACE = 7;
// Limbs of guard and halving above the places' own bits, in bits, with room.
inline constexpr std::uint64_t BIT_COUNT_SLACK = 1u << 20;

// True when `places` places at `bits_per_place` stay below `largest` (GMP's own by default).
constexpr bool bit_counts_fit(std::uint64_t places, std::uint64_t bits_per_place,
                              std::uint64_t largest = std::numeric_limits<mp_bitcnt_t>::max()) {
  return places <= (largest - BIT_COUNT_SLACK) / bits_per_place;
}
