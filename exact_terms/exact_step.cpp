#include "exact_terms/exact_step.h"

#include <climits>

#include "numbers/series_constants.h"

namespace {

constexpr bool LONG_HOLDS_DIVISOR = ULONG_MAX / 2 / (LAST_SERIES_INDEX + 1) >= SERIES_X_DENOMINATOR;

}  // namespace

void multiply_by_step_divisor(mpz_t x, std::uint32_t j) {
  if constexpr (LONG_HOLDS_DIVISOR) {
    mpz_mul_ui(x, x, static_cast<unsigned long>(2 * j + 2) * SERIES_X_DENOMINATOR);
  } else {
    mpz_mul_ui(x, x, 2 * j + 2);
    mpz_mul_ui(x, x, SERIES_X_DENOMINATOR);
  }
}

void exact_step(mpz_t x, std::uint32_t j) {
  mpz_mul_ui(x, x, 2 * j - 1);
  if constexpr (LONG_HOLDS_DIVISOR) {
    mpz_tdiv_q_ui(x, x, static_cast<unsigned long>(2 * j + 2) * SERIES_X_DENOMINATOR);
  } else {
    mpz_tdiv_q_ui(x, x, 2 * j + 2);
    mpz_tdiv_q_ui(x, x, SERIES_X_DENOMINATOR);
  }
}
