#include "numbers/term_estimate.h"

#include <cmath>

#include "numbers/fixed_decimal.h"
#include "numbers/series_constants.h"

double log_term_estimate(std::uint32_t positions, double n) {
  const double K = SERIES_X_DENOMINATOR;
  const double exponent = 9.0 * words_for_positions(positions) - 1;
  return exponent * std::log(10.0) - std::log(2 * K) + std::lgamma(2 * n - 1) - 2 * std::lgamma(n) -
         (n - 1) * std::log(4 * K) - std::log(n);
}
