// The fast engine of the series. It reaches, term for term, the states of the literal loop:
//
// - One division per term: floor(floor(X (2n-1) / (2n+2)) / K) = floor(X (2n-1) / ((2n+2) K)),
//   and the multiplication is exact, so term n+1 is floor(X m / d) with m = 2n-1,
//   d = (2n+2) K < 2^56, by a divisor prepared once per term.
// - Limbs of 10^18 (two words, grouped from the last word up, with a zero word above word 0 when
//   the count is odd), so the truncation unit stays that of the last word.
// - Redundant top-down long division: r = 0, then limb by limb t = r 10^18 + a m, q = t / d,
//   r = t mod d. The q are the limbs of exactly floor(X m / d) even when the a are not normalised,
//   and stay below 10^18 (1 + 1/K), so the term is only normalised when it is handed back.
// - Sweeps of S consecutive terms: at step s, term j works on limb s - j, which term j - 1 wrote at
//   step s - 1, so S independent remainder chains overlap in the core.
// - The sum is 1 - (the terms subtracted so far); the subtracted terms are added into an
//   accumulator whose carries are folded before any limb could overflow.
#include "compute/scalar_engine.h"

#if defined(TINDERMOSS_HAVE_INT128)

#include <algorithm>
#include <cstdlib>

#include "compute/series_constants.h"

namespace {

constexpr Limb LIMB_BASE = 1000000000000000000ull;  // 10^18
constexpr int MAX_TERMS_PER_SWEEP = ScalarEngine::MAX_TERMS;
// Each added term limb is below 10^18 (1 + 1/(K-1)): seventeen of them on a folded limb (below
// 10^18) stay below 1.81 * 10^19 < 2^64, room left for the carry of a fold.
constexpr int TERMS_BETWEEN_FOLDS = 17;

// One term of a sweep: the multiplier and divisor that form its successor, shifted by the
// divisor's normalisation, and the running remainder in the same shifted form.
struct TermStep {
  Limb multiplier;
  PreparedDivisor divisor;
  Limb nonzero;  // the OR of the quotient limbs: zero when the new term is zero
};

LimbLayout layout_for(std::int32_t words) {
  LimbLayout layout{words, (words + 1) / 2, 0};
  layout.pad = 2 * layout.limbs - words;
  return layout;
}

Word word_or_zero(const Word* words, std::int32_t index) { return index >= 0 ? words[index] : 0; }

void words_to_limbs(const Word* words, const LimbLayout& layout, Limb* limbs) {
  for (std::int32_t k = 0; k < layout.limbs; ++k) {
    Word high = word_or_zero(words, 2 * k - layout.pad);
    limbs[k] = static_cast<Limb>(high) * WORD_BASE + words[2 * k + 1 - layout.pad];
  }
}

// Requires normalised limbs.
void limbs_to_words(const Limb* limbs, const LimbLayout& layout, Word* words) {
  for (std::int32_t k = 0; k < layout.limbs; ++k) {
    if (2 * k - layout.pad >= 0) words[2 * k - layout.pad] = static_cast<Word>(limbs[k] / WORD_BASE);
    words[2 * k + 1 - layout.pad] = static_cast<Word>(limbs[k] % WORD_BASE);
  }
}

// Carries every limb from the last up to `from` (and beyond while a carry runs) into 0 .. 10^18-1.
void normalise(Limb* limbs, std::int32_t count, std::int32_t from) {
  Limb carry = 0;
  std::int32_t k = count - 1;
  for (; k >= 0 && (k >= from || carry != 0); --k) {
    Limb value = limbs[k] + carry;
    limbs[k] = value % LIMB_BASE;
    carry = value / LIMB_BASE;
  }
}

// 1.0 - x in place, for normalised x <= 1.0.
void subtract_from_one(Limb* x, const LimbLayout& layout) {
  Limb borrow = 0;
  for (std::int32_t k = layout.limbs - 1; k >= 0; --k) {
    Limb one = k == 0 ? (layout.pad == 1 ? Limb{WORD_ONE} : Limb{WORD_ONE} * WORD_BASE) : 0;
    Limb subtrahend = x[k] + borrow;
    borrow = one < subtrahend;
    x[k] = one + (borrow ? LIMB_BASE : 0) - subtrahend;
  }
}

// Subtracts the S terms held in turn by `term` (from limb `first` on) and forms their successors.
// The per-term values live in local arrays indexed by constants only, so that they stay in
// registers; the triangles at both ends run the same unrolled body with a guard.
template <int S>
void sweep(Limb* term, Limb* subtracted, std::int32_t first, std::int32_t count, TermStep* steps) {
  Limb multiplier[S], normalized[S], inverse[S], remainder[S], nonzero[S];
  for (int j = 0; j < S; ++j) {
    multiplier[j] = steps[j].multiplier;
    normalized[j] = steps[j].divisor.normalized;
    inverse[j] = steps[j].divisor.inverse;
    remainder[j] = 0;
    nonzero[j] = 0;
  }
  auto step = [&](int j, std::int32_t k) __attribute__((always_inline)) {
    Limb a = term[k];
    subtracted[k] += a;
    u128 value = static_cast<u128>(remainder[j]) * LIMB_BASE + static_cast<u128>(a) * multiplier[j];
    PreparedDivisor divisor{normalized[j], inverse[j], 0};
    Limb q = divide_normalized(static_cast<Limb>(value >> 64), static_cast<Limb>(value), divisor,
                               &remainder[j]);
    term[k] = q;
    nonzero[j] |= q;
  };
  const std::int32_t last_step = count - 1 + S - 1;
  std::int32_t s = first;
  for (; s < first + S - 1 && s <= last_step; ++s) {  // terms still entering
#pragma GCC unroll 8
    for (int j = 0; j < S; ++j) {
      if (s - j >= first && s - j < count) step(j, s - j);
    }
  }
  for (; s < count; ++s) {  // every term at work
#pragma GCC unroll 8
    for (int j = 0; j < S; ++j) step(j, s - j);
  }
  for (; s <= last_step; ++s) {  // terms leaving
#pragma GCC unroll 8
    for (int j = 0; j < S; ++j) {
      if (s - j >= first && s - j < count) step(j, s - j);
    }
  }
  for (int j = 0; j < S; ++j) steps[j].nonzero = nonzero[j];
}

void run_sweep(int terms, Limb* term, Limb* subtracted, std::int32_t first, std::int32_t count,
               TermStep* steps) {
  switch (terms) {
    case 1: sweep<1>(term, subtracted, first, count, steps); break;
    case 2: sweep<2>(term, subtracted, first, count, steps); break;
    case 3: sweep<3>(term, subtracted, first, count, steps); break;
    case 4: sweep<4>(term, subtracted, first, count, steps); break;
    case 5: sweep<5>(term, subtracted, first, count, steps); break;
    case 6: sweep<6>(term, subtracted, first, count, steps); break;
    case 7: sweep<7>(term, subtracted, first, count, steps); break;
    default: sweep<8>(term, subtracted, first, count, steps); break;
  }
}

// The first non-zero word of the normalised value of redundant limbs whose first non-zero limb is
// `first` (all limbs above it zero); the word count when `first` is past the last limb.
std::int32_t first_nonzero_word_of(const Limb* limbs, std::int32_t first, const LimbLayout& layout) {
  if (first >= layout.limbs) return layout.words;
  // The carry into limb `first` from below: decided by the first limb that is not 10^18 - 1.
  Limb carry = 0;
  for (std::int32_t k = first + 1; k < layout.limbs; ++k) {
    if (limbs[k] != LIMB_BASE - 1) {
      carry = limbs[k] >= LIMB_BASE ? 1 : 0;
      break;
    }
  }
  Limb value = limbs[first] + carry;
  if (value >= LIMB_BASE) return 2 * (first - 1) + 1 - layout.pad;  // a carry into the limb above
  return value >= WORD_BASE ? 2 * first - layout.pad : 2 * first + 1 - layout.pad;
}

}  // namespace

bool ScalarEngine::start(const CalcState* state) {
  layout = layout_for(state->word_count);
  std::size_t bytes = static_cast<std::size_t>(layout.limbs) * sizeof(Limb);
  term = static_cast<Limb*>(std::malloc(bytes));
  subtracted = static_cast<Limb*>(std::malloc(bytes));
  if (term == nullptr || subtracted == nullptr) {
    release();
    return false;
  }
  words_to_limbs(state->term, layout, term);
  words_to_limbs(state->sum, layout, subtracted);
  subtract_from_one(subtracted, layout);
  first = 0;
  while (first < layout.limbs && term[first] == 0) ++first;
  terms_since_fold = 0;
  unfolded_from = layout.limbs;
  return true;
}

void ScalarEngine::release() {
  std::free(term);
  std::free(subtracted);
  term = nullptr;
  subtracted = nullptr;
}

void ScalarEngine::fold() {
  normalise(subtracted, layout.limbs, unfolded_from);
  terms_since_fold = 0;
  unfolded_from = layout.limbs;
}

void ScalarEngine::subtract_current() {
  if (terms_since_fold + 1 > TERMS_BETWEEN_FOLDS) fold();
  for (std::int32_t k = first; k < layout.limbs; ++k) subtracted[k] += term[k];
  ++terms_since_fold;
  unfolded_from = std::min(unfolded_from, first);
}

int ScalarEngine::sweep(std::uint32_t n, int terms) {
  if (terms_since_fold + terms > TERMS_BETWEEN_FOLDS) fold();
  TermStep steps[MAX_TERMS_PER_SWEEP];
  for (int j = 0; j < terms; ++j) {
    std::uint32_t index = n + static_cast<std::uint32_t>(j);
    steps[j].divisor = prepare_divisor(std::uint64_t{2 * index + 2} * SERIES_X_DENOMINATOR);
    steps[j].multiplier = std::uint64_t{2 * index - 1} << steps[j].divisor.shift;
    steps[j].nonzero = 0;
  }
  run_sweep(terms, term, subtracted, first, layout.limbs, steps);
  terms_since_fold += terms;
  unfolded_from = std::min(unfolded_from, first);
  while (first < layout.limbs && term[first] == 0) ++first;
  for (int j = 0; j < terms; ++j) {
    if (steps[j].nonzero == 0) {
      first = layout.limbs;  // a term vanished: every later one is zero too
      return j + 1;
    }
  }
  return terms;
}

std::int32_t ScalarEngine::first_nonzero_word() const {
  return first_nonzero_word_of(term, first, layout);
}

void ScalarEngine::finish(CalcState* state) {
  fold();
  normalise(term, layout.limbs, 0);
  subtract_from_one(subtracted, layout);
  limbs_to_words(subtracted, layout, state->sum);
  limbs_to_words(term, layout, state->term);
  std::int32_t top = 0;
  while (top < layout.limbs && term[top] == 0) ++top;
  state->first_nonzero = first_nonzero_word_of(term, top, layout);
}

#endif
