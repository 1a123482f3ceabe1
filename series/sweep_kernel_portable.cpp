// The portable sweep kernel: plain 64-bit integers and doubles, so it runs on any processor
// (32-bit ones included) and for every index up to the limit, where d < 2^56.
//
// The quotient of t = r 10^15 + a m by d is estimated in double precision as
// r (10^15 / d) + a (m / d) - 1/2. r < d < 2^56: the first product's relative error is at most
// 3 * 2^-53 (r, 10^15 / d and the product are each rounded once) on a value below 10^15, so below
// 0.34; the second product and the sum add less than 0.07. The truncated estimate is q - 1 or q,
// and the remainder t - q d, computed modulo 2^64 and so exactly in [0, 2d), corrects it once.
#include <algorithm>

#include "numbers/series_constants.h"
#include "series/sweep_kernel.h"

namespace {

template <int S, bool TRACK_ZERO>
void sweep_terms(WideWord* term, WideWord* subtracted, std::int32_t wide_words, std::int32_t first,
                 std::uint32_t n, WideWord* nonzero_out, const SweepGate* gate) {
  WideWord multiplier[S], divisor[S], remainder[S], nonzero[S];
  double base_over_d[S], m_over_d[S];
  const double minus_half = -0.5;
  for (int u = 0; u < S; ++u) {
    std::uint32_t index = n + static_cast<std::uint32_t>(u);
    multiplier[u] = 2ull * index - 1;
    divisor[u] = (2ull * index + 2) * SERIES_X_DENOMINATOR;
    // Rounded once: d has up to 56 bits, which a long double holds exactly.
    base_over_d[u] = static_cast<double>(static_cast<long double>(WIDE_WORD_BASE) / divisor[u]);
    m_over_d[u] = static_cast<double>(multiplier[u]) / static_cast<double>(divisor[u]);
    remainder[u] = 0;
    nonzero[u] = 0;
  }
  // Term u at top-first wide word k, stored at wide_words - 1 - k.
  auto work = [&](int u, std::int32_t k) {
    WideWord* cell = term + (wide_words - 1 - k);
    WideWord a = *cell;
    subtracted[wide_words - 1 - k] += a;
    double estimate =
        static_cast<double>(static_cast<std::int64_t>(remainder[u])) * base_over_d[u] +
        (static_cast<double>(static_cast<std::int64_t>(a)) * m_over_d[u] + minus_half);
    // Truncation: an estimate in (-1, 0) gives 0, which is then the quotient itself.
    WideWord q = static_cast<WideWord>(static_cast<std::int64_t>(estimate));
    WideWord rest = remainder[u] * WIDE_WORD_BASE + a * multiplier[u] - q * divisor[u];
    const bool too_low = rest >= divisor[u];
    q += too_low;
    rest = too_low ? rest - divisor[u] : rest;
    remainder[u] = rest;
    *cell = q;
    if constexpr (TRACK_ZERO) nonzero[u] |= q;
  };
  const std::int32_t last_stage = wide_words - 1 + S - 1;
  const std::int32_t stretch_stages = gate_stages(gate);
  for (std::int32_t stretch = first; stretch <= last_stage;) {
    pass_gate(gate, stretch);
    const std::int32_t stretch_end =
        last_stage - stretch < stretch_stages ? last_stage : stretch + stretch_stages - 1;
    std::int32_t s = stretch;
    for (; s <= stretch_end && (s < first + S - 1 || s >= wide_words);
         ++s) {  // terms entering or leaving
      for (int u = 0; u < S; ++u) {
        if (s - u >= first && s - u < wide_words) work(u, s - u);
      }
    }
    for (; s <= stretch_end && s < wide_words; ++s) {  // every term at work
#pragma GCC unroll 8
      for (int u = 0; u < S; ++u) work(u, s - u);
    }
    for (; s <= stretch_end; ++s) {  // terms leaving
      for (int u = 0; u < S; ++u) {
        if (s - u >= first && s - u < wide_words) work(u, s - u);
      }
    }
    stretch = stretch_end + 1;
  }
  close_gate(gate);
  if constexpr (TRACK_ZERO) std::copy(nonzero, nonzero + S, nonzero_out);
}

template <bool TRACK_ZERO>
void sweep_tracked(WideWord* term, WideWord* subtracted, std::int32_t wide_words,
                   std::int32_t first, int terms, std::uint32_t n, WideWord* nonzero,
                   const SweepGate* gate) {
  static_assert(PORTABLE_MAX_TERMS == 8);
  switch (terms) {
    case 1:
      sweep_terms<1, TRACK_ZERO>(term, subtracted, wide_words, first, n, nonzero, gate);
      break;
    case 2:
      sweep_terms<2, TRACK_ZERO>(term, subtracted, wide_words, first, n, nonzero, gate);
      break;
    case 3:
      sweep_terms<3, TRACK_ZERO>(term, subtracted, wide_words, first, n, nonzero, gate);
      break;
    case 4:
      sweep_terms<4, TRACK_ZERO>(term, subtracted, wide_words, first, n, nonzero, gate);
      break;
    case 5:
      sweep_terms<5, TRACK_ZERO>(term, subtracted, wide_words, first, n, nonzero, gate);
      break;
    case 6:
      sweep_terms<6, TRACK_ZERO>(term, subtracted, wide_words, first, n, nonzero, gate);
      break;
    case 7:
      sweep_terms<7, TRACK_ZERO>(term, subtracted, wide_words, first, n, nonzero, gate);
      break;
    default:
      sweep_terms<8, TRACK_ZERO>(term, subtracted, wide_words, first, n, nonzero, gate);
      break;
  }
}

}  // namespace

void sweep_portable(WideWord* term, WideWord* subtracted, std::int32_t wide_words,
                    std::int32_t first, int terms, std::uint32_t n, WideWord* nonzero,
                    const SweepGate* gate) {
  if (nonzero != nullptr) {
    sweep_tracked<true>(term, subtracted, wide_words, first, terms, n, nonzero, gate);
  } else {
    sweep_tracked<false>(term, subtracted, wide_words, first, terms, n, nullptr, gate);
  }
}
