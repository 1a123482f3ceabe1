// The sweep kernel for processors with AVX-512 IFMA. Each 64-bit lane of a register is one term; at
// stage s, lane j of register g works on wide word s - (8g + j), the wide word that lane j - 1 (or
// lane 7 of register g - 1) formed at stage s - 1, so the wide words travel through the registers
// and only the first and the last term touch memory.
//
// The quotient of t = r 10^15 + a m by d is estimated in double precision as
// r (10^15 / d) + a (m / d) - 1/2, whose error is below 0.2 (the first product's relative error is
// 2^-53 and r < d; the final rounding is at most 2^-4), so its truncation is q or q - 1. The exact
// remainder t - q d, in [0, 2d), is formed modulo 2^52 from 52-bit low products (the product with
// 2^52 - d subtracts q d) and corrects the estimate once. This holds while d < 2^50.
#include "series/sweep_kernel.h"

#if defined(TINDERMOSS_HAVE_IFMA_KERNEL)

#include <immintrin.h>

#include <algorithm>

#include "numbers/series_constants.h"

namespace {

constexpr int LANES = 8;
static_assert(IFMA_MAX_TERMS <= 7 * LANES);

#define IFMA_TARGET __attribute__((target("avx512f,avx512dq,avx512ifma")))

// One sweep of `terms` terms (G = ceil(terms / 8) registers) from top-first wide word `first` on.
// The wide words travel through the lanes: at each stage lane u passes its new wide word q and the
// running total c of the terms' wide words to lane u+1, so only the first lane reads the array and
// only the lane of the last term writes it (its wide word of the new term, and c into the
// accumulator).
template <int G, bool TRACK_ZERO>
IFMA_TARGET void sweep_registers(WideWord* term, WideWord* subtracted, std::int32_t wide_words,
                                 std::int32_t first, int terms, std::uint32_t n,
                                 WideWord* nonzero_out, const SweepGate* gate) {
  const __m512i zero = _mm512_setzero_si512();
  const __m512i one = _mm512_set1_epi64(1);
  const __m512i base = _mm512_set1_epi64(static_cast<long long>(WIDE_WORD_BASE));
  const __m512i low52 = _mm512_set1_epi64((1ll << 52) - 1);
  const __m512d minus_half = _mm512_set1_pd(-0.5);
  __m512i multiplier[G], divisor[G], minus_divisor[G], remainder[G], nonzero[G], quotient[G],
      total[G];
  __m512d base_over_d[G], m_over_d[G];
  for (int g = 0; g < G; ++g) {
    alignas(64) WideWord m[LANES], d[LANES];
    alignas(64) double bd[LANES], md[LANES];
    for (int j = 0; j < LANES; ++j) {
      // Lanes past the last term form terms nobody reads; they only need harmless values.
      std::uint32_t index = n + static_cast<std::uint32_t>(std::min(LANES * g + j, terms - 1));
      m[j] = 2ull * index - 1;
      d[j] = (2ull * index + 2) * SERIES_X_DENOMINATOR;
      bd[j] = static_cast<double>(WIDE_WORD_BASE) / static_cast<double>(d[j]);
      md[j] = static_cast<double>(m[j]) / static_cast<double>(d[j]);
    }
    multiplier[g] = _mm512_load_si512(m);
    divisor[g] = _mm512_load_si512(d);
    minus_divisor[g] = _mm512_sub_epi64(_mm512_set1_epi64(1ll << 52), divisor[g]);
    base_over_d[g] = _mm512_load_pd(bd);
    m_over_d[g] = _mm512_load_pd(md);
    remainder[g] = nonzero[g] = quotient[g] = total[g] = zero;
  }
  const int out_register = (terms - 1) / LANES;
  const __m512i out_lane = _mm512_set1_epi64((terms - 1) % LANES);
  const std::int32_t last_stage = wide_words - 1 + terms - 1;
  const std::int32_t stages_per_look = gate_stages(gate);
  std::int32_t until_gate = 1;
  for (std::int32_t s = first; s <= last_stage; ++s) {
    if (--until_gate == 0) {
      pass_gate(gate, s);
      until_gate = stages_per_look;
    }
    // Wide word s (top first) of the sweep's first term enters lane 0; zero past the last wide
    // word.
    WideWord entering = s < wide_words ? term[wide_words - 1 - s] : 0;
    // Lanes that have run past the last wide word carry nothing worth keeping.
    __mmask8 valid[G];
    for (int g = 0; g < G; ++g) {
      int past = std::clamp(s - (wide_words - 1) - LANES * g, 0, LANES);
      valid[g] = static_cast<__mmask8>(0xFFu << past);
    }
#pragma GCC unroll 8
    for (int g = G - 1; g >= 0; --g) {
      __m512i from_below =
          g > 0 ? quotient[g - 1] : _mm512_set1_epi64(static_cast<long long>(entering));
      __m512i total_below = g > 0 ? total[g - 1] : zero;
      __m512i a = _mm512_maskz_alignr_epi64(0xFF, quotient[g], from_below, 7);
      total[g] = _mm512_add_epi64(_mm512_maskz_alignr_epi64(0xFF, total[g], total_below, 7), a);
      __m512d estimate =
          _mm512_fmadd_pd(_mm512_cvtepu64_pd(remainder[g]), base_over_d[g],
                          _mm512_fmadd_pd(_mm512_cvtepu64_pd(a), m_over_d[g], minus_half));
      // Truncation: an estimate in (-1, 0) gives 0, which is then the quotient itself.
      __m512i q = _mm512_cvttpd_epi64(estimate);
      __m512i t_low =
          _mm512_madd52lo_epu64(_mm512_madd52lo_epu64(zero, remainder[g], base), a, multiplier[g]);
      __m512i rest = _mm512_and_si512(_mm512_madd52lo_epu64(t_low, q, minus_divisor[g]), low52);
      __mmask8 too_big = _mm512_cmpge_epu64_mask(rest, divisor[g]);
      quotient[g] = _mm512_mask_add_epi64(q, too_big, q, one);
      remainder[g] = _mm512_mask_sub_epi64(rest, too_big, rest, divisor[g]);
      if constexpr (TRACK_ZERO) {
        nonzero[g] = _mm512_mask_or_epi64(nonzero[g], valid[g], nonzero[g], quotient[g]);
      }
    }
    // The last term's lane is at wide word s - (terms - 1).
    std::int32_t k = s - (terms - 1);
    if (k >= first && k < wide_words) {
      __m512i q = _mm512_maskz_permutexvar_epi64(0xFF, out_lane, quotient[out_register]);
      __m512i c = _mm512_maskz_permutexvar_epi64(0xFF, out_lane, total[out_register]);
      term[wide_words - 1 - k] =
          static_cast<WideWord>(_mm_cvtsi128_si64(_mm512_maskz_extracti32x4_epi32(0xF, q, 0)));
      subtracted[wide_words - 1 - k] +=
          static_cast<WideWord>(_mm_cvtsi128_si64(_mm512_maskz_extracti32x4_epi32(0xF, c, 0)));
    }
  }
  close_gate(gate);
  if constexpr (!TRACK_ZERO) return;
  // Only the lanes of real terms: nonzero_out may be shared with the sweep that follows.
  for (int g = 0; g < G; ++g) {
    int lanes = std::clamp(terms - LANES * g, 0, LANES);
    _mm512_mask_storeu_epi64(nonzero_out + LANES * g, static_cast<__mmask8>((1u << lanes) - 1),
                             nonzero[g]);
  }
}

template <bool TRACK_ZERO>
IFMA_TARGET void sweep_tracked(WideWord* term, WideWord* subtracted, std::int32_t wide_words,
                               std::int32_t first, int terms, std::uint32_t n, WideWord* nonzero,
                               const SweepGate* gate) {
  switch ((terms + LANES - 1) / LANES) {
    case 1:
      sweep_registers<1, TRACK_ZERO>(term, subtracted, wide_words, first, terms, n, nonzero, gate);
      break;
    case 2:
      sweep_registers<2, TRACK_ZERO>(term, subtracted, wide_words, first, terms, n, nonzero, gate);
      break;
    case 3:
      sweep_registers<3, TRACK_ZERO>(term, subtracted, wide_words, first, terms, n, nonzero, gate);
      break;
    case 4:
      sweep_registers<4, TRACK_ZERO>(term, subtracted, wide_words, first, terms, n, nonzero, gate);
      break;
    case 5:
      sweep_registers<5, TRACK_ZERO>(term, subtracted, wide_words, first, terms, n, nonzero, gate);
      break;
    case 6:
      sweep_registers<6, TRACK_ZERO>(term, subtracted, wide_words, first, terms, n, nonzero, gate);
      break;
    default:
      sweep_registers<7, TRACK_ZERO>(term, subtracted, wide_words, first, terms, n, nonzero, gate);
      break;
  }
}

}  // namespace

IFMA_TARGET void sweep_ifma(WideWord* term, WideWord* subtracted, std::int32_t wide_words,
                            std::int32_t first, int terms, std::uint32_t n, WideWord* nonzero,
                            const SweepGate* gate) {
  if (nonzero != nullptr) {
    sweep_tracked<true>(term, subtracted, wide_words, first, terms, n, nonzero, gate);
  } else {
    sweep_tracked<false>(term, subtracted, wide_words, first, terms, n, nullptr, gate);
  }
}

bool ifma_available() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
         __builtin_cpu_supports("avx512ifma");
}

#endif
