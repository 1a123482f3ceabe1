// The AVX-512 IFMA engine. It follows the scalar engine (one division per term, redundant
// top-down long division, sweeps of consecutive terms, an accumulator for the sum) with:
//
// - Limbs of 10^15 < 2^50, five words making three limbs, grouped from the last word up with zero
//   words above word 0, so the truncation unit stays that of the last word.
// - Each 64-bit lane of a register is one term. At step s, lane j of register g works on limb
//   s - (8g + j), the limb that lane j - 1 (or lane 7 of register g - 1) formed at step s - 1.
// - The quotient of t = r 10^15 + a m by d is estimated in double precision as
//   r (10^15 / d) + a (m / d) - 1/2, whose error is below 0.2 (the first term's relative error is
//   2^-53 and r < d; the final rounding is at most 2^-4), so its truncation is q or q - 1. The exact
//   remainder t - q d, in [0, 2d), is formed modulo 2^52 from 52-bit low products (the product
//   with 2^52 - d subtracts q d) and corrects the estimate once. This holds while d < 2^50.
#include "compute/simd_engine.h"

#if defined(TINDERMOSS_HAVE_SIMD_ENGINE)

#include <immintrin.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "compute/series_constants.h"

namespace {

using Limb = std::uint64_t;

constexpr Limb LIMB_BASE = 1000000000000000ull;  // 10^15
constexpr int LIMB_DIGITS = 15;
constexpr int LANES = 8;
constexpr int MAX_REGISTERS = SimdEngine::MAX_TERMS / LANES;
// A folded limb is below 10^15 and each added term limb below 10^15 (1 + 1/(K-1)): 18000 of them
// stay far below 2^64.
constexpr int TERMS_BETWEEN_FOLDS = 18000;

constexpr Limb POW10[16] = {1ull,           10ull,           100ull,           1000ull,
                            10000ull,       100000ull,       1000000ull,       10000000ull,
                            100000000ull,   1000000000ull,   10000000000ull,   100000000000ull,
                            1000000000000ull, 10000000000000ull, 100000000000000ull,
                            1000000000000000ull};

int decimal_length(Limb value) {
  int length = 1;
  while (length < 16 && value >= POW10[length]) ++length;
  return length;
}

#define IFMA_TARGET __attribute__((target("avx512f,avx512dq,avx512ifma")))

// One sweep of `terms` terms (G = ceil(terms / 8) registers) from top-first limb `first` on.
// The limbs travel through the lanes: at each step lane u passes its new limb q and the running
// total c of the terms' limbs to lane u+1, so only the first lane reads the array and only the
// lane of the last term writes it (its limb of the new term, and c into the accumulator).
template <int G>
IFMA_TARGET void sweep_registers(Limb* term, Limb* subtracted, std::int32_t limbs, std::int32_t first,
                                 int terms, std::uint32_t n, Limb* nonzero_out) {
  const __m512i zero = _mm512_setzero_si512();
  const __m512i one = _mm512_set1_epi64(1);
  const __m512i base = _mm512_set1_epi64(static_cast<long long>(LIMB_BASE));
  const __m512i low52 = _mm512_set1_epi64((1ll << 52) - 1);
  const __m512d minus_half = _mm512_set1_pd(-0.5);
  __m512i multiplier[G], divisor[G], minus_divisor[G], remainder[G], nonzero[G], quotient[G], total[G];
  __m512d base_over_d[G], m_over_d[G];
  for (int g = 0; g < G; ++g) {
    alignas(64) Limb m[LANES], d[LANES];
    alignas(64) double bd[LANES], md[LANES];
    for (int j = 0; j < LANES; ++j) {
      // Lanes past the last term form terms nobody reads; they only need harmless values.
      std::uint32_t index = n + static_cast<std::uint32_t>(std::min(LANES * g + j, terms - 1));
      m[j] = 2ull * index - 1;
      d[j] = (2ull * index + 2) * SERIES_X_DENOMINATOR;
      bd[j] = static_cast<double>(LIMB_BASE) / static_cast<double>(d[j]);
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
  const std::int32_t last_step = limbs - 1 + terms - 1;
  for (std::int32_t s = first; s <= last_step; ++s) {
    // Limb s of the sweep's first term enters lane 0; zero past the last limb.
    Limb entering = s < limbs ? term[limbs - 1 - s] : 0;
    // Lanes that have run past the last limb carry nothing worth keeping.
    __mmask8 valid[G];
    for (int g = 0; g < G; ++g) {
      int past = std::clamp(s - (limbs - 1) - LANES * g, 0, LANES);
      valid[g] = static_cast<__mmask8>(0xFFu << past);
    }
#pragma GCC unroll 8
    for (int g = G - 1; g >= 0; --g) {
      __m512i from_below = g > 0 ? quotient[g - 1] : _mm512_set1_epi64(static_cast<long long>(entering));
      __m512i total_below = g > 0 ? total[g - 1] : zero;
      __m512i a = _mm512_maskz_alignr_epi64(0xFF, quotient[g], from_below, 7);
      total[g] = _mm512_add_epi64(_mm512_maskz_alignr_epi64(0xFF, total[g], total_below, 7), a);
      __m512d estimate = _mm512_fmadd_pd(_mm512_cvtepu64_pd(remainder[g]), base_over_d[g],
                                         _mm512_fmadd_pd(_mm512_cvtepu64_pd(a), m_over_d[g], minus_half));
      // Truncation: an estimate in (-1, 0) gives 0, which is then the quotient itself.
      __m512i q = _mm512_cvttpd_epi64(estimate);
      __m512i t_low = _mm512_madd52lo_epu64(_mm512_madd52lo_epu64(zero, remainder[g], base), a,
                                            multiplier[g]);
      __m512i rest = _mm512_and_si512(_mm512_madd52lo_epu64(t_low, q, minus_divisor[g]), low52);
      __mmask8 too_big = _mm512_cmpge_epu64_mask(rest, divisor[g]);
      quotient[g] = _mm512_mask_add_epi64(q, too_big, q, one);
      remainder[g] = _mm512_mask_sub_epi64(rest, too_big, rest, divisor[g]);
      nonzero[g] = _mm512_mask_or_epi64(nonzero[g], valid[g], nonzero[g], quotient[g]);
    }
    // The last term's lane is at limb s - (terms - 1).
    std::int32_t k = s - (terms - 1);
    if (k >= first && k < limbs) {
      __m512i q = _mm512_maskz_permutexvar_epi64(0xFF, out_lane, quotient[out_register]);
      __m512i c = _mm512_maskz_permutexvar_epi64(0xFF, out_lane, total[out_register]);
      term[limbs - 1 - k] = static_cast<Limb>(_mm_cvtsi128_si64(_mm512_maskz_extracti32x4_epi32(0xF, q, 0)));
      subtracted[limbs - 1 - k] += static_cast<Limb>(_mm_cvtsi128_si64(_mm512_maskz_extracti32x4_epi32(0xF, c, 0)));
    }
  }
  for (int g = 0; g < G; ++g) _mm512_storeu_si512(nonzero_out + LANES * g, nonzero[g]);
}

IFMA_TARGET void run_sweep(Limb* term, Limb* subtracted, std::int32_t limbs, std::int32_t first,
                           int terms, std::uint32_t n, Limb* nonzero) {
  switch ((terms + LANES - 1) / LANES) {
    case 1: sweep_registers<1>(term, subtracted, limbs, first, terms, n, nonzero); break;
    case 2: sweep_registers<2>(term, subtracted, limbs, first, terms, n, nonzero); break;
    case 3: sweep_registers<3>(term, subtracted, limbs, first, terms, n, nonzero); break;
    case 4: sweep_registers<4>(term, subtracted, limbs, first, terms, n, nonzero); break;
    case 5: sweep_registers<5>(term, subtracted, limbs, first, terms, n, nonzero); break;
    case 6: sweep_registers<6>(term, subtracted, limbs, first, terms, n, nonzero); break;
    case 7: sweep_registers<7>(term, subtracted, limbs, first, terms, n, nonzero); break;
    default: sweep_registers<8>(term, subtracted, limbs, first, terms, n, nonzero); break;
  }
}

// Five words w0..w4 (most significant first) as three limbs of fifteen digits, and back.
void five_words_to_limbs(const Word* w, Limb* limbs) {
  limbs[0] = Limb{w[0]} * 1000000 + w[1] / 1000;
  limbs[1] = Limb{w[1] % 1000} * 1000000000000ull + Limb{w[2]} * 1000 + w[3] / 1000000;
  limbs[2] = Limb{w[3] % 1000000} * 1000000000 + w[4];
}

void limbs_to_five_words(const Limb* limbs, Word* w) {
  w[0] = static_cast<Word>(limbs[0] / 1000000);
  w[1] = static_cast<Word>(limbs[0] % 1000000 * 1000 + limbs[1] / 1000000000000ull);
  w[2] = static_cast<Word>(limbs[1] / 1000 % 1000000000);
  w[3] = static_cast<Word>(limbs[1] % 1000 * 1000000 + limbs[2] / 1000000000);
  w[4] = static_cast<Word>(limbs[2] % 1000000000);
}

// Carries every limb into 0 .. 10^15-1, least significant first.
void normalise(Limb* limbs, std::int32_t count) {
  Limb carry = 0;
  for (std::int32_t i = 0; i < count; ++i) {
    Limb value = limbs[i] + carry;
    limbs[i] = value % LIMB_BASE;
    carry = value / LIMB_BASE;
  }
}

}  // namespace

bool SimdEngine::supported() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
         __builtin_cpu_supports("avx512ifma");
}

std::uint32_t SimdEngine::index_bound() {
  // (2n + 2) K < 2^50  <=>  n < 2^49 / K - 1
  return static_cast<std::uint32_t>((1ull << 49) / SERIES_X_DENOMINATOR - 1);
}

bool SimdEngine::start(const CalcState* state) {
  words = state->word_count;
  pad_words = (5 - words % 5) % 5;
  limbs = (words + pad_words) / 5 * 3;
  std::size_t bytes = static_cast<std::size_t>(limbs) * sizeof(Limb);
  term = static_cast<Limb*>(std::malloc(bytes));
  subtracted = static_cast<Limb*>(std::malloc(bytes));
  if (term == nullptr || subtracted == nullptr) {
    release();
    return false;
  }
  // The words of one group of five, zero above word 0.
  auto group = [&](const Word* source, std::int32_t c, Word* out) {
    for (int k = 0; k < 5; ++k) {
      std::int32_t index = 5 * c + k - pad_words;
      out[k] = index >= 0 ? source[index] : 0;
    }
  };
  for (std::int32_t c = 0; c < limbs / 3; ++c) {
    Word w[5];
    Limb top_first[3];
    group(state->term, c, w);
    five_words_to_limbs(w, top_first);
    for (int p = 0; p < 3; ++p) term[limbs - 1 - (3 * c + p)] = top_first[p];
    // The subtracted terms are 1.0 - sum.
    group(state->sum, c, w);
    five_words_to_limbs(w, top_first);
    for (int p = 0; p < 3; ++p) subtracted[limbs - 1 - (3 * c + p)] = top_first[p];
  }
  subtract_from_one(subtracted);
  first = 0;
  advance_first();
  terms_since_fold = 0;
  return true;
}

void SimdEngine::release() {
  std::free(term);
  std::free(subtracted);
  term = subtracted = nullptr;
}

void SimdEngine::subtract_from_one(std::uint64_t* x) const {
  // 1.0 is the digit 1 at padded digit position 9 pad_words.
  std::int32_t one_position = 9 * pad_words;
  std::int32_t one_limb = limbs - 1 - one_position / LIMB_DIGITS;
  Limb one_value = POW10[LIMB_DIGITS - 1 - one_position % LIMB_DIGITS];
  Limb borrow = 0;
  for (std::int32_t i = 0; i < limbs; ++i) {
    Limb minuend = i == one_limb ? one_value : 0;
    Limb subtrahend = x[i] + borrow;
    borrow = minuend < subtrahend;
    x[i] = minuend + (borrow ? LIMB_BASE : 0) - subtrahend;
  }
}

void SimdEngine::advance_first() {
  while (first < limbs && term[limbs - 1 - first] == 0) ++first;
}

void SimdEngine::fold() {
  normalise(subtracted, limbs);
  terms_since_fold = 0;
}

void SimdEngine::subtract_current() {
  for (std::int32_t i = 0; i < limbs - first; ++i) subtracted[i] += term[i];
  ++terms_since_fold;
}

int SimdEngine::sweep(std::uint32_t n, int terms) {
  if (terms_since_fold + terms > TERMS_BETWEEN_FOLDS) fold();
  Limb nonzero[MAX_TERMS];
  run_sweep(term, subtracted, limbs, first, terms, n, nonzero);
  terms_since_fold += terms;
  advance_first();
  for (int j = 0; j < terms; ++j) {
    if (nonzero[j] == 0) {
      first = limbs;  // a term vanished: every later one is zero too
      return j + 1;
    }
  }
  return terms;
}

std::int32_t SimdEngine::first_nonzero_word() const {
  if (first >= limbs) return words;
  std::int32_t top = limbs - 1 - first;
  Limb carry = 0;  // into the first limb, decided by the first limb below that is not 10^15 - 1
  for (std::int32_t i = top - 1; i >= 0; --i) {
    if (term[i] != LIMB_BASE - 1) {
      carry = term[i] >= LIMB_BASE ? 1 : 0;
      break;
    }
  }
  Limb value = term[top] + carry;
  std::int32_t digit = value >= LIMB_BASE ? LIMB_DIGITS * first - 1
                                          : LIMB_DIGITS * first + LIMB_DIGITS - decimal_length(value);
  return digit / 9 - pad_words;
}

void SimdEngine::finish(CalcState* state) {
  fold();
  normalise(term, limbs);
  subtract_from_one(subtracted);
  for (std::int32_t c = 0; c < limbs / 3; ++c) {
    Limb top_first[3];
    Word w[5];
    for (int source = 0; source < 2; ++source) {
      const Limb* from = source == 0 ? subtracted : term;
      Word* to = source == 0 ? state->sum : state->term;
      for (int p = 0; p < 3; ++p) top_first[p] = from[limbs - 1 - (3 * c + p)];
      limbs_to_five_words(top_first, w);
      for (int k = 0; k < 5; ++k) {
        std::int32_t index = 5 * c + k - pad_words;
        if (index >= 0) to[index] = w[k];
      }
    }
  }
  first = 0;
  advance_first();
  state->first_nonzero = first_nonzero_word();
}

#endif
