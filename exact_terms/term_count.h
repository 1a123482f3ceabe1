// The index of the first term of the series that truncates to zero, found without running it.
//
// In units of the last word, the series starts from B = 10^(9W-1) (1.0) with exact terms
// T_1 = B / (2K) and T_(n+1) = T_n (2n-1) / ((2n+2) K), i.e.
//   T_n = B / (2K) * C(2n-2, n-1) / (4^(n-1) n K^(n-1)),
// while the loop keeps the truncated terms X_n. Their error T_n - X_n stays in [0, 1 + 1/(K-1)),
// so with N the first n where T_n < 1, the first zero X_n is N, unless 1 <= T_(N-1) < 1 + 1/(K-1):
// then it is N - 1 when X_(N-1) is zero. That window is settled by going back to a term whose
// truncation is certain (T_i at least 1/(K-1) above an integer) and running the chain from there
// on exact integers.
#pragma once

#include <mpfr.h>

#include <cstdint>

// Sets *index to the final next_n of a series of `positions` digit positions
// (1 <= positions < POSITION_COUNT_BOUND). Returns false when the enclosures cannot decide it;
// the series must then be run.
//
// The window's upper end is 1 + window_width / (K-1); 1 is the real window, and a wider one makes
// the exact chain settle more counts than it needs to, which it must do with the same outcome.
bool final_term_index(std::uint32_t positions, std::uint32_t* index, double window_width = 1.0);

// The final next_n lies in [*low, *high], one apart at most and equal when it is decided. Returns
// false when not even that can be placed.
bool final_term_range(std::uint32_t positions, std::uint32_t* low, std::uint32_t* high,
                      double window_width = 1.0);

// ln T_n reaches 5 * 10^10; at this precision its enclosures stay 10^-60 wide.
inline constexpr mpfr_prec_t TERM_BOUND_PRECISION = 256;

// An MPFR number of TERM_BOUND_PRECISION bits for the length of a scope.
struct BoundReal {
  mpfr_t v;
  BoundReal() { mpfr_init2(v, TERM_BOUND_PRECISION); }
  ~BoundReal() { mpfr_clear(v); }
  BoundReal(const BoundReal&) = delete;
  BoundReal& operator=(const BoundReal&) = delete;
};

// A bound on ln T_n for `positions` digit positions, into `result` (of TERM_BOUND_PRECISION
// bits): from below with
// MPFR_RNDD, from above with MPFR_RNDU. Every part is rounded in the direction that moves the sum
// towards that bound.
void log_term_bound(std::uint32_t positions, std::uint64_t n, mpfr_rnd_t up_or_down, mpfr_t result);
