#include "exact_terms/term_count.h"

#include <gmp.h>
#include <mpfr.h>

#include <cassert>
#include <cmath>

#include "exact_terms/exact_step.h"
#include "numbers/fixed_decimal.h"
#include "numbers/series_constants.h"
#include "numbers/term_estimate.h"

namespace {

constexpr double K = SERIES_X_DENOMINATOR;

}  // namespace

void log_term_bound(std::uint32_t positions, std::uint64_t n, mpfr_rnd_t up_or_down,
                    mpfr_t result) {
  const mpfr_rnd_t same = up_or_down;
  const mpfr_rnd_t other = up_or_down == MPFR_RNDD ? MPFR_RNDU : MPFR_RNDD;
  // Both below 2^32, as unsigned long may be: 9W - 1 < 2^31 + 9 and n <= the last index.
  assert(n <= LAST_SERIES_INDEX + 1);
  const auto exponent = static_cast<unsigned long>(9ull * words_for_positions(positions) - 1);
  const auto index = static_cast<unsigned long>(n);
  BoundReal part, gamma_arg;
  // ln B = (9W - 1) ln 10
  mpfr_log_ui(result, 10, same);
  mpfr_mul_ui(result, result, exponent, same);
  // - ln(2K)
  mpfr_log_ui(part.v, FIRST_TERM_DIVISOR, other);
  mpfr_sub(result, result, part.v, same);
  // + lnGamma(2n - 1)
  mpfr_set_ui(gamma_arg.v, 2 * index - 1, MPFR_RNDN);  // exact
  mpfr_lngamma(part.v, gamma_arg.v, same);
  mpfr_add(result, result, part.v, same);
  // - 2 lnGamma(n)
  mpfr_set_ui(gamma_arg.v, index, MPFR_RNDN);
  mpfr_lngamma(part.v, gamma_arg.v, other);
  mpfr_mul_ui(part.v, part.v, 2, other);
  mpfr_sub(result, result, part.v, same);
  // - (n - 1) ln(4K)
  mpfr_log_ui(part.v, 4ull * SERIES_X_DENOMINATOR, other);
  mpfr_mul_ui(part.v, part.v, index - 1, other);
  mpfr_sub(result, result, part.v, same);
  // - ln n
  mpfr_log_ui(part.v, index, other);
  mpfr_sub(result, result, part.v, same);
}

namespace {

// -1 when T_n < 1 for sure, 1 when T_n >= 1 for sure, 0 when the enclosure cannot tell.
int compare_term_with_one(std::uint32_t positions, std::uint64_t n) {
  BoundReal low, high;
  log_term_bound(positions, n, MPFR_RNDU, high.v);
  if (mpfr_sgn(high.v) < 0) return -1;
  log_term_bound(positions, n, MPFR_RNDD, low.v);
  if (mpfr_sgn(low.v) >= 0) return 1;
  return 0;
}

// The first n with T_n < 1, or 0 when the enclosures cannot place it.
std::uint64_t first_term_below_one(std::uint32_t positions) {
  double low = 1, high = 2;
  while (log_term_estimate(positions, high) >= 0) high *= 2;
  while (high - low > 1) {
    double middle = std::floor((low + high) / 2);
    (log_term_estimate(positions, middle) >= 0 ? low : high) = middle;
  }
  auto n = static_cast<std::uint64_t>(high);
  // Step to the exact place; the estimate is off by a step at most, a few when n is large.
  for (int guard = 0; guard < 64; ++guard) {
    int at = compare_term_with_one(positions, n);
    int before = n > 1 ? compare_term_with_one(positions, n - 1) : 1;
    if (at == 0 || before == 0) return 0;
    if (at < 0 && before > 0) return n;
    n = at < 0 ? n - 1 : n + 1;
  }
  return 0;
}

// Whether T_(N-1) lies in [1, 1 + width/(K-1)): 1 inside, -1 above it, 0 undecided.
int in_window(std::uint32_t positions, std::uint64_t before, double width) {
  BoundReal bound, edge_low, edge_high;
  // ln(1 + width/(K-1)), enclosed
  mpfr_set_d(edge_low.v, width, MPFR_RNDD);
  mpfr_div_ui(edge_low.v, edge_low.v, SERIES_X_DENOMINATOR - 1, MPFR_RNDD);
  mpfr_log1p(edge_low.v, edge_low.v, MPFR_RNDD);
  mpfr_set_d(edge_high.v, width, MPFR_RNDU);
  mpfr_div_ui(edge_high.v, edge_high.v, SERIES_X_DENOMINATOR - 1, MPFR_RNDU);
  mpfr_log1p(edge_high.v, edge_high.v, MPFR_RNDU);
  log_term_bound(positions, before, MPFR_RNDD, bound.v);
  if (mpfr_cmp(bound.v, edge_high.v) >= 0) return -1;
  log_term_bound(positions, before, MPFR_RNDU, bound.v);
  if (mpfr_cmp(bound.v, edge_low.v) < 0) return 1;
  return 0;
}

// X_i when it is certain: T_i enclosed within one integer interval and at least 1/(K-1) above
// its integer part, so that the only integer in (T_i - 1 - 1/(K-1), T_i] is floor(T_i).
bool certain_truncation(std::uint32_t positions, std::uint64_t i, mpz_t x) {
  BoundReal low, high, fraction, margin;
  log_term_bound(positions, i, MPFR_RNDD, low.v);
  mpfr_exp(low.v, low.v, MPFR_RNDD);
  log_term_bound(positions, i, MPFR_RNDU, high.v);
  mpfr_exp(high.v, high.v, MPFR_RNDU);
  mpz_t low_floor, high_floor;
  mpz_inits(low_floor, high_floor, nullptr);
  mpfr_get_z(low_floor, low.v, MPFR_RNDD);
  mpfr_get_z(high_floor, high.v, MPFR_RNDD);
  bool same_integer = mpz_cmp(low_floor, high_floor) == 0;
  mpfr_sub_z(fraction.v, low.v, low_floor, MPFR_RNDD);
  mpfr_set_ui(margin.v, 1, MPFR_RNDU);
  mpfr_div_ui(margin.v, margin.v, SERIES_X_DENOMINATOR - 1, MPFR_RNDU);
  bool certain = same_integer && mpfr_cmp(fraction.v, margin.v) >= 0;
  if (certain) mpz_set(x, low_floor);
  mpz_clears(low_floor, high_floor, nullptr);
  return certain;
}

}  // namespace

bool final_term_range(std::uint32_t positions, std::uint32_t* low, std::uint32_t* high,
                      double window_width) {
  std::uint64_t first_below = first_term_below_one(positions);
  if (first_below < 2) return false;
  *low = static_cast<std::uint32_t>(first_below - 1);
  *high = static_cast<std::uint32_t>(first_below);
  int window = in_window(positions, first_below - 1, window_width);
  if (window == 0) return true;
  if (window < 0) {
    *low = *high;
    return true;
  }
  // T_(N-1) is barely above 1: find a term before it whose truncation is certain, then run the
  // exact chain X_(j+1) = floor(X_j (2j-1) / ((2j+2) K)) up to X_(N-1).
  mpz_t x;
  mpz_init(x);
  for (std::uint64_t i = first_below - 2; i >= 1 && i + 8 >= first_below; --i) {
    if (!certain_truncation(positions, i, x)) continue;
    for (std::uint64_t j = i; j < first_below - 1; ++j) {
      exact_step(x, static_cast<std::uint32_t>(j));
    }
    *low = *high = static_cast<std::uint32_t>(mpz_sgn(x) == 0 ? first_below - 1 : first_below);
    break;
  }
  mpz_clear(x);
  return true;
}

bool final_term_index(std::uint32_t positions, std::uint32_t* index, double window_width) {
  std::uint32_t low = 0, high = 0;
  if (!final_term_range(positions, &low, &high, window_width) || low != high) return false;
  *index = low;
  return true;
}
