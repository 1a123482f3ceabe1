// The AVX-512 IFMA engine. It follows the scalar engine (one division per term, redundant
// top-down long division, sweeps of consecutive terms, an accumulator for the sum) with:
//
// - Limbs of 10^15 < 2^50, five words making three limbs, grouped from the last word up with zero
//   words above word 0, so the truncation unit stays that of the last word.
// - Each 64-bit lane of a register is one term. At step s, lane j of register g works on limb
//   s - (8g + j); with the limbs stored least significant first, a register's limbs are adjacent.
// - The quotient of t = r 10^15 + a m by d is estimated in double precision,
//   q ~ r (10^15 / d) + a (m / d), which is off by less than one, and corrected with the exact
//   remainder t - q d, formed modulo 2^52 from 52-bit low products. This holds while d < 2^50.
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
constexpr std::int32_t MARGIN = 64;  // limbs before and after the arrays: masked lanes stay inside
// A folded limb is below 10^15 and each added term limb below 10^15 (1 + 1/(K-1)).
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

template <int G>
IFMA_TARGET void sweep_registers(Limb* term, Limb* subtracted, std::int32_t limbs, std::int32_t first,
                                 int terms, std::uint32_t n, Limb* nonzero_out) {
  const __m512i zero = _mm512_setzero_si512();
  const __m512i one = _mm512_set1_epi64(1);
  const __m512i base = _mm512_set1_epi64(static_cast<long long>(LIMB_BASE));
  const __m512i low52 = _mm512_set1_epi64((1ll << 52) - 1);
  const __m512i half = _mm512_set1_epi64(1ll << 51);
  __m512i multiplier[G], divisor[G], remainder[G], nonzero[G];
  __m512d base_over_d[G], m_over_d[G];
  __mmask8 term_mask[G];
  for (int g = 0; g < G; ++g) {
    alignas(64) Limb m[LANES], d[LANES];
    alignas(64) double bd[LANES], md[LANES];
    for (int j = 0; j < LANES; ++j) {
      std::uint32_t index = n + static_cast<std::uint32_t>(LANES * g + j);
      m[j] = 2ull * index - 1;
      d[j] = (2ull * index + 2) * SERIES_X_DENOMINATOR;
      bd[j] = static_cast<double>(LIMB_BASE) / static_cast<double>(d[j]);
      md[j] = static_cast<double>(m[j]) / static_cast<double>(d[j]);
    }
    multiplier[g] = _mm512_load_si512(m);
    divisor[g] = _mm512_load_si512(d);
    base_over_d[g] = _mm512_load_pd(bd);
    m_over_d[g] = _mm512_load_pd(md);
    remainder[g] = zero;
    nonzero[g] = zero;
    int active = std::clamp(terms - LANES * g, 0, LANES);
    term_mask[g] = static_cast<__mmask8>((1u << active) - 1);
  }
  const std::int32_t highest = limbs - 1 - first;  // the highest stored index a term works on
  const std::int32_t last_step = limbs - 1 + terms - 1;
  for (std::int32_t s = first; s <= last_step; ++s) {
    const std::int32_t lane0 = limbs - 1 - s;  // stored index of lane 0 of register 0
#pragma GCC unroll 5
    for (int g = 0; g < G; ++g) {
      const std::int32_t at = lane0 + LANES * g;
      int skip_low = std::clamp(-at, 0, LANES);
      int keep = std::clamp(highest - at + 1, 0, LANES);
      __mmask8 mask = static_cast<__mmask8>(((0xFFu << skip_low) & ((1u << keep) - 1)) & term_mask[g]);
      if (mask == 0) continue;
      __m512i a = _mm512_maskz_loadu_epi64(mask, term + at);
      __m512i sum = _mm512_maskz_loadu_epi64(mask, subtracted + at);
      _mm512_mask_storeu_epi64(subtracted + at, mask, _mm512_add_epi64(sum, a));
      __m512d estimate = _mm512_fmadd_pd(_mm512_cvtepu64_pd(remainder[g]), base_over_d[g],
                                         _mm512_mul_pd(_mm512_cvtepu64_pd(a), m_over_d[g]));
      __m512i q = _mm512_cvttpd_epu64(estimate);
      __m512i t_low = _mm512_madd52lo_epu64(_mm512_madd52lo_epu64(zero, remainder[g], base), a,
                                            multiplier[g]);
      __m512i qd_low = _mm512_madd52lo_epu64(zero, q, divisor[g]);
      __m512i rest = _mm512_and_si512(_mm512_sub_epi64(t_low, qd_low), low52);
      __mmask8 negative = _mm512_cmpge_epu64_mask(rest, half);
      q = _mm512_mask_sub_epi64(q, negative, q, one);
      rest = _mm512_mask_and_epi64(rest, negative, _mm512_add_epi64(rest, divisor[g]), low52);
      __mmask8 too_big = _mm512_cmpge_epu64_mask(rest, divisor[g]);
      q = _mm512_mask_add_epi64(q, too_big, q, one);
      rest = _mm512_mask_sub_epi64(rest, too_big, rest, divisor[g]);
      remainder[g] = _mm512_mask_mov_epi64(remainder[g], mask, rest);
      _mm512_mask_storeu_epi64(term + at, mask, q);
      nonzero[g] = _mm512_mask_or_epi64(nonzero[g], mask, nonzero[g], q);
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
    default: sweep_registers<5>(term, subtracted, limbs, first, terms, n, nonzero); break;
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
  std::size_t bytes = (static_cast<std::size_t>(limbs) + 2 * MARGIN) * sizeof(Limb);
  term_store = static_cast<Limb*>(std::calloc(1, bytes));
  subtracted_store = static_cast<Limb*>(std::calloc(1, bytes));
  if (term_store == nullptr || subtracted_store == nullptr) {
    release();
    return false;
  }
  term = term_store + MARGIN;
  subtracted = subtracted_store + MARGIN;
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
  std::free(term_store);
  std::free(subtracted_store);
  term_store = subtracted_store = term = subtracted = nullptr;
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
