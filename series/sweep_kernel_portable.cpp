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
void sweep_terms(DecimalLimb* term, DecimalLimb* subtracted, std::int32_t limbs, std::int32_t first, std::uint32_t n,
                 DecimalLimb* nonzero_out, const SweepGate* gate) {
  DecimalLimb multiplier[S], divisor[S], remainder[S], nonzero[S];
  double base_over_d[S], m_over_d[S];
  const double minus_half = -0.5;
  for (int u = 0; u < S; ++u) {
    std::uint32_t index = n + static_cast<std::uint32_t>(u);
    multiplier[u] = 2ull * index - 1;
    divisor[u] = (2ull * index + 2) * SERIES_X_DENOMINATOR;
    // Rounded once: d has up to 56 bits, which a long double holds exactly.
    base_over_d[u] = static_cast<double>(static_cast<long double>(DECIMAL_LIMB_BASE) / divisor[u]);
    m_over_d[u] = static_cast<double>(multiplier[u]) / static_cast<double>(divisor[u]);
    remainder[u] = 0;
    nonzero[u] = 0;
  }
  // Term u at top-first limb k, stored at limbs - 1 - k.
  auto step = [&](int u, std::int32_t k) {
    DecimalLimb* cell = term + (limbs - 1 - k);
    DecimalLimb a = *cell;
    subtracted[limbs - 1 - k] += a;
    double estimate = static_cast<double>(static_cast<std::int64_t>(remainder[u])) * base_over_d[u] +
                      (static_cast<double>(static_cast<std::int64_t>(a)) * m_over_d[u] + minus_half);
    // Truncation: an estimate in (-1, 0) gives 0, which is then the quotient itself.
    DecimalLimb q = static_cast<DecimalLimb>(static_cast<std::int64_t>(estimate));
    DecimalLimb rest = remainder[u] * DECIMAL_LIMB_BASE + a * multiplier[u] - q * divisor[u];
    const bool too_low = rest >= divisor[u];
    q += too_low;
    rest = too_low ? rest - divisor[u] : rest;
    remainder[u] = rest;
    *cell = q;
    if constexpr (TRACK_ZERO) nonzero[u] |= q;
  };
  const std::int32_t last_step = limbs - 1 + S - 1;
  const std::int32_t block_steps = gate_steps(gate);
  for (std::int32_t block = first; block <= last_step;) {
    pass_gate(gate, block);
    const std::int32_t block_end =
        last_step - block < block_steps ? last_step : block + block_steps - 1;
    std::int32_t s = block;
    for (; s <= block_end && (s < first + S - 1 || s >= limbs); ++s) {  // terms entering or leaving
      for (int u = 0; u < S; ++u) {
        if (s - u >= first && s - u < limbs) step(u, s - u);
      }
    }
    for (; s <= block_end && s < limbs; ++s) {  // every term at work
#pragma GCC unroll 8
      for (int u = 0; u < S; ++u) step(u, s - u);
    }
    for (; s <= block_end; ++s) {  // terms leaving
      for (int u = 0; u < S; ++u) {
        if (s - u >= first && s - u < limbs) step(u, s - u);
      }
    }
    block = block_end + 1;
  }
  close_gate(gate);
  if constexpr (TRACK_ZERO) std::copy(nonzero, nonzero + S, nonzero_out);
}

template <bool TRACK_ZERO>
void sweep_tracked(DecimalLimb* term, DecimalLimb* subtracted, std::int32_t limbs, std::int32_t first, int terms,
                   std::uint32_t n, DecimalLimb* nonzero, const SweepGate* gate) {
  static_assert(PORTABLE_MAX_TERMS == 8);
  switch (terms) {
    case 1: sweep_terms<1, TRACK_ZERO>(term, subtracted, limbs, first, n, nonzero, gate); break;
    case 2: sweep_terms<2, TRACK_ZERO>(term, subtracted, limbs, first, n, nonzero, gate); break;
    case 3: sweep_terms<3, TRACK_ZERO>(term, subtracted, limbs, first, n, nonzero, gate); break;
    case 4: sweep_terms<4, TRACK_ZERO>(term, subtracted, limbs, first, n, nonzero, gate); break;
    case 5: sweep_terms<5, TRACK_ZERO>(term, subtracted, limbs, first, n, nonzero, gate); break;
    case 6: sweep_terms<6, TRACK_ZERO>(term, subtracted, limbs, first, n, nonzero, gate); break;
    case 7: sweep_terms<7, TRACK_ZERO>(term, subtracted, limbs, first, n, nonzero, gate); break;
    default: sweep_terms<8, TRACK_ZERO>(term, subtracted, limbs, first, n, nonzero, gate); break;
  }
}

}  // namespace

void sweep_portable(DecimalLimb* term, DecimalLimb* subtracted, std::int32_t limbs, std::int32_t first, int terms,
                    std::uint32_t n, DecimalLimb* nonzero, const SweepGate* gate) {
  if (nonzero != nullptr) {
    sweep_tracked<true>(term, subtracted, limbs, first, terms, n, nonzero, gate);
  } else {
    sweep_tracked<false>(term, subtracted, limbs, first, terms, n, nullptr, gate);
  }
}
