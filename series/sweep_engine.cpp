#include "series/sweep_engine.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "numbers/powers_of_ten.h"
#include "numbers/series_constants.h"
#include "series/series.h"
#include "series/sweep_helper.h"
#include "series/sweep_kernel.h"

namespace {

// A folded wide word is below 10^15 and each added term wide word below 10^15 (1 + 1/(K-1)): 18000
// of them stay far below 2^64.
constexpr int TERMS_BETWEEN_FOLDS = 18000;
constexpr int SWEEPS_BETWEEN_TRIALS = 32;  // of the way not taken, pairs or single sweeps

// A rate smoothed over the last few sweeps.
void smooth(double* rate, double measured) {
  *rate = *rate == 0 ? measured : 0.75 * *rate + 0.25 * measured;
}

int decimal_length(WideWord value) {
  int length = 1;
  while (length <= WIDE_WORD_DIGITS && value >= POWERS_OF_TEN[length]) ++length;
  return length;
}

// Five words w0..w4 (most significant first) as three wide words of fifteen digits, and back.
void five_words_to_wide_words(const Word* w, WideWord* wide_words) {
  wide_words[0] = WideWord{w[0]} * 1000000 + w[1] / 1000;
  wide_words[1] = WideWord{w[1] % 1000} * 1000000000000ull + WideWord{w[2]} * 1000 + w[3] / 1000000;
  wide_words[2] = WideWord{w[3] % 1000000} * 1000000000 + w[4];
}

void wide_words_to_five_words(const WideWord* wide_words, Word* w) {
  w[0] = static_cast<Word>(wide_words[0] / 1000000);
  w[1] = static_cast<Word>(wide_words[0] % 1000000 * 1000 + wide_words[1] / 1000000000000ull);
  w[2] = static_cast<Word>(wide_words[1] / 1000 % 1000000000);
  w[3] = static_cast<Word>(wide_words[1] % 1000 * 1000000 + wide_words[2] / 1000000000);
  w[4] = static_cast<Word>(wide_words[2] % 1000000000);
}

// Carries every wide word into 0 .. 10^15-1, least significant first.
void normalise(WideWord* wide_words, std::int32_t count) {
  WideWord carry = 0;
  for (std::int32_t i = 0; i < count; ++i) {
    WideWord value = wide_words[i] + carry;
    wide_words[i] = value % WIDE_WORD_BASE;
    carry = value / WIDE_WORD_BASE;
  }
}

// The wide words of a number of `words` words: three for every five, zeros above word 0 filling
// the first five.
std::int32_t wide_words_for(std::int32_t words) { return (words + 4) / 5 * 3; }

}  // namespace

std::uint64_t sweep_engine_bytes(std::int32_t word_count) {
  return 2 * static_cast<std::uint64_t>(wide_words_for(word_count)) * sizeof(WideWord);
}

bool SweepEngine::start(const CalcState* state, bool allow_ifma) {
#if defined(TINDERMOSS_HAVE_IFMA_KERNEL)
  use_ifma = allow_ifma && ifma_available();
#else
  (void)allow_ifma;
#endif
  words = state->word_count;
  pad_words = (5 - words % 5) % 5;
  wide_words = wide_words_for(words);
  std::size_t bytes = static_cast<std::size_t>(wide_words) * sizeof(WideWord);
  term = static_cast<WideWord*>(std::malloc(bytes));
  subtracted = static_cast<WideWord*>(std::malloc(bytes));
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
  for (std::int32_t c = 0; c < wide_words / 3; ++c) {
    Word w[5];
    WideWord top_first[3];
    group(state->term, c, w);
    five_words_to_wide_words(w, top_first);
    for (int p = 0; p < 3; ++p) term[wide_words - 1 - (3 * c + p)] = top_first[p];
    // The subtracted terms are 1.0 - sum.
    group(state->sum, c, w);
    five_words_to_wide_words(w, top_first);
    for (int p = 0; p < 3; ++p) subtracted[wide_words - 1 - (3 * c + p)] = top_first[p];
  }
  subtract_from_one(subtracted);
  first = 0;
  advance_first();
  terms_since_fold = 0;
  return true;
}

void SweepEngine::release() {
  std::free(term);
  std::free(subtracted);
  term = subtracted = nullptr;
}

void SweepEngine::subtract_from_one(WideWord* x) const {
  // 1.0 is the digit 1 at padded digit position 9 pad_words.
  std::int32_t one_position = 9 * pad_words;
  std::int32_t one_wide_word = wide_words - 1 - one_position / WIDE_WORD_DIGITS;
  WideWord one_value = POWERS_OF_TEN[WIDE_WORD_DIGITS - 1 - one_position % WIDE_WORD_DIGITS];
  WideWord borrow = 0;
  for (std::int32_t i = 0; i < wide_words; ++i) {
    WideWord minuend = i == one_wide_word ? one_value : 0;
    WideWord subtrahend = x[i] + borrow;
    borrow = minuend < subtrahend;
    x[i] = minuend + (borrow ? WIDE_WORD_BASE : 0) - subtrahend;
  }
}

void SweepEngine::advance_first() {
  while (first < wide_words && term[wide_words - 1 - first] == 0) ++first;
}

void SweepEngine::fold() {
  normalise(subtracted, wide_words);
  terms_since_fold = 0;
}

void SweepEngine::subtract_current() {
  for (std::int32_t i = 0; i < wide_words - first; ++i) subtracted[i] += term[i];
  ++terms_since_fold;
}

int SweepEngine::max_terms(std::uint32_t n) const {
#if defined(TINDERMOSS_HAVE_IFMA_KERNEL)
  if (use_ifma && n < IFMA_INDEX_BOUND) {
    return static_cast<int>(std::min<std::uint32_t>(IFMA_MAX_TERMS, IFMA_INDEX_BOUND - n));
  }
#else
  (void)n;
#endif
  return PORTABLE_MAX_TERMS;
}

void SweepEngine::run_kernel(std::uint32_t n, int terms, WideWord* nonzero, const SweepGate* gate) {
#if defined(TINDERMOSS_HAVE_IFMA_KERNEL)
  if (use_ifma && n + static_cast<std::uint32_t>(terms) <= IFMA_INDEX_BOUND) {
    sweep_ifma(term, subtracted, wide_words, first, terms, n, nonzero, gate);
    return;
  }
#endif
  sweep_portable(term, subtracted, wide_words, first, terms, n, nonzero, gate);
}

bool SweepEngine::worth_two_threads() {
  if (helper == nullptr || wide_words - first < pairing_threshold) return false;
  bool pairs = pair_rate == 0 || single_rate == 0 || pair_rate > single_rate;
  if (++sweeps_since_trial >= SWEEPS_BETWEEN_TRIALS) {
    sweeps_since_trial = 0;
    return !pairs;
  }
  return pairs;
}

int SweepEngine::sweep_pair(std::uint32_t n, int terms, int second_terms) {
  if (terms_since_fold + terms + second_terms > TERMS_BETWEEN_FOLDS) fold();
  // No term can vanish while the current one has enough wide words, and then nothing is tracked.
  // With a non-zero wide word at `first`, X >= 10^(15 (wide_words-1-first)); each term is at least
  // 1/(4K) of the one before, less one for the truncation, so from X >= (8K)^T the next T terms
  // stay at 1 or more. log10(8K) / 15 < 0.59, so wide_words - 1 - first >= 0.59 T is enough.
  const int total = terms + second_terms;
  const bool may_vanish = 100 * static_cast<std::int64_t>(wide_words - 1 - first) < 59 * total;
  WideWord nonzero_flags[2 * MAX_SWEEP_TERMS];
  WideWord* nonzero = may_vanish ? nonzero_flags : nullptr;
  const double work = static_cast<double>(wide_words - first) * total;
  const auto started = std::chrono::steady_clock::now();
  std::uint32_t second_n = n + static_cast<std::uint32_t>(terms);
  if (second_terms == 0 || helper == nullptr) {
    run_kernel(n, terms, nonzero, nullptr);
    if (second_terms > 0) {
      run_kernel(second_n, second_terms, nonzero != nullptr ? nonzero + terms : nullptr, nullptr);
    }
  } else {
    // The second sweep follows the first through the wide words on the helper thread. Both start
    // from the same first wide word: every later term is smaller.
    std::atomic<std::int64_t> progress{0};
    SweepGate leading{&progress, nullptr, 0, gate_stages};
    SweepGate following{nullptr, &progress, terms, gate_stages};
    struct SecondSweep {
      SweepEngine* engine;
      std::uint32_t n;
      int terms;
      WideWord* nonzero;
      const SweepGate* gate;
    } second{this, second_n, second_terms, nonzero != nullptr ? nonzero + terms : nullptr,
             &following};
    helper->run(
        [](void* context) {
          const SecondSweep& sweep = *static_cast<const SecondSweep*>(context);
          sweep.engine->run_kernel(sweep.n, sweep.terms, sweep.nonzero, sweep.gate);
        },
        &second);
    run_kernel(n, terms, nonzero, &leading);
    helper->wait();
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (seconds > 0)
    smooth(second_terms > 0 && helper != nullptr ? &pair_rate : &single_rate, work / seconds);
  terms_since_fold += total;
  advance_first();
  for (int j = 0; nonzero != nullptr && j < total; ++j) {
    if (nonzero[j] == 0) {
      first = wide_words;  // a term vanished: every later one is zero too
      return j + 1;
    }
  }
  return total;
}

std::int32_t SweepEngine::first_nonzero_word() const {
  if (first >= wide_words) return words;
  std::int32_t top = wide_words - 1 - first;
  // Into the first wide word, decided by the first wide word below that is not 10^15 - 1.
  WideWord carry = 0;
  for (std::int32_t i = top - 1; i >= 0; --i) {
    if (term[i] != WIDE_WORD_BASE - 1) {
      carry = term[i] >= WIDE_WORD_BASE ? 1 : 0;
      break;
    }
  }
  WideWord value = term[top] + carry;
  std::int32_t digit = value >= WIDE_WORD_BASE
                           ? WIDE_WORD_DIGITS * first - 1
                           : WIDE_WORD_DIGITS * first + WIDE_WORD_DIGITS - decimal_length(value);
  return digit / 9 - pad_words;
}

void SweepEngine::finish(CalcState* state) {
  fold();
  normalise(term, wide_words);
  subtract_from_one(subtracted);
  for (std::int32_t c = 0; c < wide_words / 3; ++c) {
    WideWord top_first[3];
    Word w[5];
    for (int source = 0; source < 2; ++source) {
      const WideWord* from = source == 0 ? subtracted : term;
      Word* to = source == 0 ? state->sum : state->term;
      for (int p = 0; p < 3; ++p) top_first[p] = from[wide_words - 1 - (3 * c + p)];
      wide_words_to_five_words(top_first, w);
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
