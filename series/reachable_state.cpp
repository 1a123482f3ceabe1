#include "series/reachable_state.h"

#include <cmath>

#include "numbers/series_constants.h"
#include "numbers/term_estimate.h"

namespace {

bool is_fresh(const CalcState& state) {
  const std::int32_t count = state.word_count;
  if (state.sum[0] != WORD_ONE || first_nonzero_word(state.sum + 1, count - 1) != count - 1) {
    return false;
  }
  // t_1 = 1.0 / 131836324, truncated at the last word, as the fresh start divides it.
  std::uint64_t remainder = 0;
  for (std::int32_t k = 0; k < count; ++k) {
    const std::uint64_t t = remainder * WORD_BASE + (k == 0 ? WORD_ONE : 0);
    if (state.term[k] != t / FIRST_TERM_DIVISOR) return false;
    remainder = t % FIRST_TERM_DIVISOR;
  }
  return true;
}

}  // namespace

bool series_state_plausible(const CalcState& state) {
  const std::uint32_t n = state.next_n;
  if (n == 1) return is_fresh(state);
  if (state.sum[0] != WORD_ONE - 1) return false;
  // The loop keeps E - (1 + 1/(K-1)) < T <= E, E the exact term in units of the last word.
  const double log_exact = log_term_estimate(state.positions, n);
  const double margin = 1e-3 + 1e-9 * std::fabs(log_exact);
  const std::int32_t count = state.word_count;
  const std::int32_t first = first_nonzero_word(state.term, count);
  if (first == count) {
    // The first zero term: E < 1 + 1/(K-1) now, and the term before was at least 1.
    return log_exact < std::log(2.0) + margin &&
           log_term_estimate(state.positions, n - 1.0) > -margin;
  }
  // T in [lead, lead + 1) 10^(9 rest), from its two leading words.
  double lead = state.term[first];
  if (first + 1 < count) lead = lead * WORD_BASE + state.term[first + 1];
  const double rest = std::fmax(0, count - first - 2);
  const double log_scale = 9 * rest * std::log(10.0);
  const double log_low = std::log(lead) + log_scale;
  const double log_high_plus_two = std::log(lead + 3) + log_scale;
  return log_low <= log_exact + margin && log_high_plus_two >= log_exact - margin;
}
