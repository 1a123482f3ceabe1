// The series engine for processors with AVX-512 IFMA: limbs of 10^15, eight terms to a register
// and seven registers to a sweep. Usable while every divisor (2n+2) K stays below 2^50.
#pragma once

#include <cstdint>

#include "compute/calc_state.h"

#if defined(__x86_64__) && defined(__SIZEOF_INT128__) && (defined(__GNUC__) || defined(__clang__))
#define TINDERMOSS_HAVE_SIMD_ENGINE 1

struct SimdEngine {
  static constexpr int MAX_TERMS = 56;

  // True when the processor (and the system) runs AVX-512 F, DQ and IFMA.
  static bool supported();
  // The first term index whose divisor no longer fits 50 bits: sweeps stay below it.
  static std::uint32_t index_bound();

  std::int32_t words = 0;
  std::int32_t limbs = 0;
  std::int32_t pad_words = 0;  // zero words above word 0, to fill whole groups of five
  std::uint64_t* term = nullptr;        // least significant limb first, possibly redundant
  std::uint64_t* subtracted = nullptr;  // the terms subtracted so far, carries pending
  std::int32_t first = 0;               // the term's first non-zero limb, counted from the top
  int terms_since_fold = 0;

  bool start(const CalcState* state);
  void finish(CalcState* state);
  void release();

  bool term_is_zero() const { return first >= limbs; }
  int sweep(std::uint32_t n, int terms);
  void subtract_current();
  std::int32_t first_nonzero_word() const;

 private:
  // 1.0 - x in place, for normalised x <= 1.0.
  void subtract_from_one(std::uint64_t* x) const;
  void fold();
  void advance_first();
};

#endif
