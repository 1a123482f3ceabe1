#include "exact_terms/reachable_state_exact.h"

#include <mpfr.h>

#include <algorithm>

#include "exact_terms/term_count.h"

namespace {

// Words of the term that are read exactly: 72 digits, below 2^240.
constexpr std::int32_t LEADING_WORDS = 8;

}  // namespace

bool series_state_reachable(const CalcState& state) {
  const std::uint32_t n = state.next_n;
  std::uint32_t low = 0, high = 0;
  const bool placed = final_term_range(state.positions, &low, &high);
  if (placed && n > high) return false;  // the loop stops at its first zero term
  const std::int32_t count = state.word_count;
  const std::int32_t first = first_nonzero_word(state.term, count);
  if (first == count) return !placed || n >= low;
  // T in [lead, lead + 1) 10^(9 rest), from its leading words.
  const std::int32_t lead_words = std::min(LEADING_WORDS, count - first);
  BoundReal lead, scale, log_term, log_exact;
  mpfr_set_ui(lead.v, 0, MPFR_RNDN);
  for (std::int32_t k = first; k < first + lead_words; ++k) {
    mpfr_mul_ui(lead.v, lead.v, WORD_BASE, MPFR_RNDN);  // exact
    mpfr_add_ui(lead.v, lead.v, state.term[k], MPFR_RNDN);
  }
  const unsigned long rest = static_cast<unsigned long>(count - first - lead_words);
  // T > E for sure?
  mpfr_log_ui(scale.v, 10, MPFR_RNDD);
  mpfr_mul_ui(scale.v, scale.v, 9 * rest, MPFR_RNDD);
  mpfr_log(log_term.v, lead.v, MPFR_RNDD);
  mpfr_add(log_term.v, log_term.v, scale.v, MPFR_RNDD);
  log_term_bound(state.positions, n, MPFR_RNDU, log_exact.v);
  if (mpfr_cmp(log_term.v, log_exact.v) > 0) return false;
  // T + 2 < E for sure? T + 2 < (lead + 3) 10^(9 rest), and 2 > 1 + 1/(K-1).
  mpfr_log_ui(scale.v, 10, MPFR_RNDU);
  mpfr_mul_ui(scale.v, scale.v, 9 * rest, MPFR_RNDU);
  mpfr_add_ui(lead.v, lead.v, 3, MPFR_RNDU);
  mpfr_log(log_term.v, lead.v, MPFR_RNDU);
  mpfr_add(log_term.v, log_term.v, scale.v, MPFR_RNDU);
  log_term_bound(state.positions, n, MPFR_RNDD, log_exact.v);
  return mpfr_cmp(log_term.v, log_exact.v) >= 0;
}
