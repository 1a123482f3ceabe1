// The fast engine of the series. It reaches, term for term, the states of the literal loop:
//
// - One division per term: floor(floor(X (2n-1) / (2n+2)) / K) = floor(X (2n-1) / ((2n+2) K)), and
//   the multiplication is exact, so term n+1 is floor(X m / d) with m = 2n-1, d = (2n+2) K.
// - Wide words of 10^15 (five words make three wide words), grouped from the last word up with zero
//   words above word 0, so that the truncation unit stays that of the last word.
// - Redundant top-down long division: r = 0, then wide word by wide word t = r 10^15 + a m,
//   q = t / d, r = t mod d. The q are the wide words of exactly floor(X m / d) even when the a are
//   not normalised, and stay below 10^15 (1 + 1/(K-1)), so the term is only normalised when it is
//   handed back.
// - Sweeps of consecutive terms: at stage s, term u works on wide word s - u, which term u - 1
//   formed at stage s - 1, so many independent remainder chains overlap in the core.
// - The sum is 1 - (the terms subtracted so far); they are added into an accumulator whose carries
//   are folded long before any wide word could overflow.
#pragma once

#include <cstdint>

#include "numbers/calc_state.h"
#include "series/sweep_kernel.h"

struct SweepHelper;

struct SweepEngine {
  std::int32_t words = 0;
  std::int32_t wide_words = 0;
  std::int32_t pad_words = 0;      // zero words above word 0, to fill whole groups of five
  WideWord* term = nullptr;        // least significant wide word first, possibly redundant
  WideWord* subtracted = nullptr;  // the terms subtracted so far, carries pending
  std::int32_t first = 0;          // the term's first non-zero wide word, counted from the top
  int terms_since_fold = 0;
  bool use_ifma = false;                  // the AVX-512 IFMA kernel while its divisors fit
  SweepHelper* helper = nullptr;          // a second thread for pairs of sweeps, or none
  std::int32_t pairing_threshold = 1024;  // wide words a sweep covers before it is worth pairing
  std::int32_t gate_stages = 64;          // stages between two looks at the other sweep
  double pair_rate = 0;                   // wide word-terms a second in pairs, smoothed; 0 unknown
  double single_rate = 0;                 // the same for single sweeps
  int sweeps_since_trial = 0;

  // Takes over the state's numbers; false (with nothing held) when memory is short.
  bool start(const CalcState* state, bool allow_ifma);
  // Hands the numbers back to the state in words, with its first_nonzero.
  void finish(CalcState* state);
  void release();

  bool term_is_zero() const { return first >= wide_words; }
  // The longest sweep that may start at index n.
  int max_terms(std::uint32_t n) const;
  // Subtracts terms n .. n+terms-1 and forms n+terms; with second_terms, a second sweep of that
  // many follows, on the helper thread when there is one. Returns the terms formed up to the
  // first zero one.
  int sweep_pair(std::uint32_t n, int terms, int second_terms);
  // Whether the next sweeps should go in pairs. Only when a sweep covers many more wide words than
  // the two sweeps' lag, and while pairs keep doing more work per second than single sweeps: now
  // and then the other way is tried, since a second processor can be slowed by what else runs.
  bool worth_two_threads();
  void subtract_current();
  std::int32_t first_nonzero_word() const;

 private:
  static constexpr int MAX_SWEEP_TERMS = 64;
#if defined(TINDERMOSS_HAVE_IFMA_KERNEL)
  static_assert(IFMA_MAX_TERMS <= MAX_SWEEP_TERMS);
#endif
  static_assert(PORTABLE_MAX_TERMS <= MAX_SWEEP_TERMS);
  void run_kernel(std::uint32_t n, int terms, WideWord* nonzero, const SweepGate* gate);
  // 1.0 - x in place, for normalised x <= 1.0.
  void subtract_from_one(WideWord* x) const;
  void fold();
  void advance_first();
};
