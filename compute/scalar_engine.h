// The portable fast engine of the series: limbs of 10^18 and sweeps of up to eight terms, with
// 128-bit arithmetic. See scalar_engine.cpp for how it reaches the literal loop's states.
#pragma once

#include <cstdint>

#include "compute/calc_state.h"
#include "compute/prepared_divisor.h"

#if defined(TINDERMOSS_HAVE_INT128)

using Limb = std::uint64_t;

// A number as limbs, most significant first: limb k holds words 2k - pad and 2k + 1 - pad.
struct LimbLayout {
  std::int32_t words;
  std::int32_t limbs;
  int pad;  // 1 when the word count is odd: a zero word stands above word 0
};

struct ScalarEngine {
  static constexpr int MAX_TERMS = 8;

  LimbLayout layout{};
  Limb* term = nullptr;        // the current term, possibly redundant
  Limb* subtracted = nullptr;  // the terms subtracted so far, carries pending
  std::int32_t first = 0;      // the term's first non-zero limb
  int terms_since_fold = 0;
  std::int32_t unfolded_from = 0;  // the first limb added to since the last fold

  // Takes over the state's numbers; false (with nothing held) when memory is short.
  bool start(const CalcState* state);
  // Hands the numbers back to the state in words, with its first_nonzero.
  void finish(CalcState* state);
  void release();

  bool term_is_zero() const { return first >= layout.limbs; }
  int sweep(std::uint32_t n, int terms);
  void subtract_current();
  std::int32_t first_nonzero_word() const;

 private:
  void fold();
};

#endif
