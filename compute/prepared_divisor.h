// Division of a 128-bit value by a 64-bit divisor that stays the same for a whole pass: the
// divisor is prepared once (normalised, with its pre-computed inverse) and then applied with
// multiplications only (Möller and Granlund, "Improved division by invariant integers", 2011).
#pragma once

#include <cassert>
#include <cstdint>

#if defined(__SIZEOF_INT128__)
#define TINDERMOSS_HAVE_INT128 1

__extension__ typedef unsigned __int128 u128;

struct PreparedDivisor {
  std::uint64_t normalized;  // d << shift, its top bit set
  std::uint64_t inverse;     // floor((2^128 - 1) / normalized) - 2^64
  int shift;                 // leading zero bits of d
};

// Prepares d != 0.
inline PreparedDivisor prepare_divisor(std::uint64_t d) {
  assert(d != 0);
  PreparedDivisor prepared;
  prepared.shift = __builtin_clzll(d);
  prepared.normalized = d << prepared.shift;
  u128 numerator = static_cast<u128>(~prepared.normalized) << 64 | ~std::uint64_t{0};
  prepared.inverse = static_cast<std::uint64_t>(numerator / prepared.normalized);
  return prepared;
}

// floor((high * 2^64 + low) / normalized) and the remainder, for a value already shifted left by
// the divisor's shift. Requires high < normalized.
inline std::uint64_t divide_normalized(std::uint64_t high, std::uint64_t low,
                                       const PreparedDivisor& divisor, std::uint64_t* remainder) {
  assert(high < divisor.normalized);
  u128 estimate = static_cast<u128>(high) * divisor.inverse;
  estimate += static_cast<u128>(high + 1) << 64 | low;
  std::uint64_t quotient = static_cast<std::uint64_t>(estimate >> 64);
  std::uint64_t rest = low - quotient * divisor.normalized;
  // Taken about half the time: without a branch, so that nothing is mispredicted.
  std::uint64_t mask = -static_cast<std::uint64_t>(rest > static_cast<std::uint64_t>(estimate));
  quotient += mask;
  rest += mask & divisor.normalized;
  if (rest >= divisor.normalized) [[unlikely]] {
    ++quotient;
    rest -= divisor.normalized;
  }
  *remainder = rest;
  return quotient;
}
#endif
