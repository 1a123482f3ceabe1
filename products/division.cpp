#include "products/division.h"

#include <algorithm>
#include <cassert>

#include "products/product.h"
#include "products/product_tuning.h"

namespace {

// Guard bits of the half-precision reciprocal a Newton step starts from: its relative error,
// squared by the step, then stays far below one unit of the result.
constexpr mp_bitcnt_t NEWTON_GUARD_BITS = 32;

// How far below or above the true quotient a chunk's estimate may be (the reciprocal is within
// two units, and the estimate's own truncations add a few).
constexpr int MAX_CHUNK_CORRECTIONS = 8;

// x <- 2^e - x.
void subtract_from_power_of_two(mpz_t x, mp_bitcnt_t e) {
  mpz_neg(x, x);
  mpz_t power;
  mpz_init(power);
  mpz_setbit(power, e);
  mpz_add(x, x, power);
  mpz_clear(power);
}

}  // namespace

// Above DIVISION_MIN_BITS bits, one Newton step y <- y + y (2^(2p) - d y) / 2^(2p) from w, the
// reciprocal of d's top h bits (half of them and the guard): y = w 2^(p-h), so both products take
// w's h bits, not y's p, and the residual is cut to the bits that count. The bound holds level by
// level: y differs from r = 2^(2p) / d by a factor 1 + u with |u| < (2 + 1.01) 2^-h (d's cut bits
// and w's error), the exact step would leave r u^2 < 2^-58 units, and its two truncations (the
// residual's and the correction's) less than one more between them.
void approximate_reciprocal(mpz_t v, const mpz_t d, mp_bitcnt_t p) {
  if (p <= DIVISION_MIN_BITS) {
    mpz_set_ui(v, 0);
    mpz_setbit(v, 2 * p);
    mpz_tdiv_q(v, v, d);
    return;
  }
  const mp_bitcnt_t h = (p + 1) / 2 + NEWTON_GUARD_BITS;
  mpz_t w, residual;
  mpz_inits(w, residual, nullptr);
  mpz_tdiv_q_2exp(residual, d, p - h);  // d's top h bits
  approximate_reciprocal(w, residual, h);
  multiply(residual, d, w);
  mpz_mul_2exp(residual, residual, p - h);
  subtract_from_power_of_two(residual, 2 * p);  // 2^(2p) - d y, about 2^(2p - h) at most
  mpz_tdiv_q_2exp(residual, residual, p - h);
  multiply(residual, residual, w);
  mpz_fdiv_q_2exp(residual, residual, 2 * h);
  mpz_mul_2exp(v, w, p - h);
  mpz_add(v, v, residual);
  mpz_clears(w, residual, nullptr);
}

namespace {

// q and t = x - q d for a q a few units off floor(x / d) become the true quotient and remainder
// (0 <= t < d). Returns how many units q moved.
int correct_quotient(mpz_t q, mpz_t t, const mpz_t d) {
  int corrections = 0;
  for (; mpz_sgn(t) < 0; ++corrections) {
    mpz_sub_ui(q, q, 1);
    mpz_add(t, t, d);
  }
  for (; mpz_cmp(t, d) >= 0; ++corrections) {
    mpz_add_ui(q, q, 1);
    mpz_sub(t, t, d);
  }
  return corrections;
}

// q <- floor(t / d), t <- t - q d, for 0 <= t < 2^(2p), d of exactly p bits and v within a few
// units of its reciprocal floor(2^(2p) / d): the estimate floor(floor(t / 2^(p-1)) v / 2^(p+1))
// is within a few of q, then corrected.
void divide_chunk(mpz_t q, mpz_t t, const mpz_t d, const mpz_t v, mp_bitcnt_t p) {
  mpz_tdiv_q_2exp(q, t, p - 1);
  multiply(q, q, v);
  mpz_tdiv_q_2exp(q, q, p + 1);
  mpz_t qd;
  mpz_init(qd);
  multiply(qd, q, d);
  mpz_sub(t, t, qd);
  mpz_clear(qd);
  [[maybe_unused]] const int corrections = correct_quotient(q, t, d);
  assert(corrections <= MAX_CHUNK_CORRECTIONS);
}

// A quotient much shorter than the divisor depends on the divisor's top limbs alone: both operands
// cut by `cut` limbs give an estimate within one of it (the cut parts change x / d by less than
// the estimate over the cut divisor, which is below B^-(DIVISOR_GUARD_LIMBS - 1)), and one
// product of the estimate by d gives the remainder.
constexpr mp_size_t DIVISOR_GUARD_LIMBS = 2;

bool divide_by_top(mpz_t q, mpz_t r, const mpz_t x, const mpz_t d, mp_size_t cut,
                   const StopCheck& stop) {
  mpz_t top_x, top_d, estimate, rest;
  mpz_inits(top_x, top_d, estimate, rest, nullptr);
  mpz_tdiv_q_2exp(top_x, x, static_cast<mp_bitcnt_t>(cut) * GMP_NUMB_BITS);
  mpz_tdiv_q_2exp(top_d, d, static_cast<mp_bitcnt_t>(cut) * GMP_NUMB_BITS);
  const bool done =
      divide_unless_stopped(estimate, rest, top_x, top_d, stop) && !stop_requested(stop);
  if (done) {
    multiply(rest, estimate, d);
    mpz_sub(rest, x, rest);
    [[maybe_unused]] const int corrections = correct_quotient(estimate, rest, d);
    assert(corrections <= 1);
    mpz_swap(q, estimate);
    mpz_swap(r, rest);
  }
  mpz_clears(top_x, top_d, estimate, rest, nullptr);
  return done;
}

}  // namespace

void divide(mpz_t q, mpz_t r, const mpz_t x, const mpz_t d) {
  divide_unless_stopped(q, r, x, d, StopCheck{});
}

bool divide_unless_stopped(mpz_t q, mpz_t r, const mpz_t x, const mpz_t d, const StopCheck& stop) {
  assert(mpz_sgn(x) >= 0 && mpz_sgn(d) > 0 && q != r && q != d && r != d);
  const mp_bitcnt_t p = mpz_sizeinbase(d, 2);
  const auto limbs = static_cast<mp_size_t>(mpz_size(d));
  const auto quotient_limbs = static_cast<mp_size_t>(mpz_size(x)) - limbs + 1;
  const auto counted_limbs = std::min(limbs, quotient_limbs + DIVISOR_GUARD_LIMBS);
  if (mpz_cmp(x, d) < 0 ||
      static_cast<mp_bitcnt_t>(counted_limbs) * GMP_NUMB_BITS <= DIVISION_MIN_BITS) {
    before_gmp_product(mpz_size(x));
    mpz_tdiv_qr(q, r, x, d);
    return true;
  }
  if (counted_limbs < limbs) return divide_by_top(q, r, x, d, limbs - counted_limbs, stop);
  if (!fft_takes_whole(limbs + 1, limbs + 1)) {
    before_gmp_product(mpz_size(x));
    mpz_tdiv_qr(q, r, x, d);
    return true;
  }
  mpz_t v, quotient, rest, chunk;
  mpz_inits(v, quotient, rest, chunk, nullptr);
  approximate_reciprocal(v, d, p);
  bool stopped = false;
  // From the top, `step` limbs of the dividend at a time below the remainder so far (less than
  // d, so each window stays below 2^(2p) and its quotient within `step` limbs). x is only read,
  // so that r or q may be x.
  const auto step = static_cast<mp_size_t>(p / GMP_NUMB_BITS);
  const auto x_size = static_cast<mp_size_t>(mpz_size(x));
  const mp_limb_t* x_limbs = mpz_limbs_read(x);
  mp_limb_t* q_limbs = mpz_limbs_write(quotient, x_size);
  for (mp_size_t at = x_size; at > 0;) {
    if (stop_requested(stop)) {
      stopped = true;
      break;
    }
    const mp_size_t take = std::min(step, at);
    at -= take;
    const auto rest_size = static_cast<mp_size_t>(mpz_size(rest));
    mp_limb_t* window = mpz_limbs_modify(rest, rest_size + take);
    if (rest_size > 0) mpn_copyd(window + take, window, rest_size);
    mpn_copyi(window, x_limbs + at, take);
    mpz_limbs_finish(rest, rest_size + take);
    divide_chunk(chunk, rest, d, v, p);
    const auto chunk_size = static_cast<mp_size_t>(mpz_size(chunk));
    assert(chunk_size <= take);
    mpn_copyi(q_limbs + at, mpz_limbs_read(chunk), chunk_size);
    mpn_zero(q_limbs + at + chunk_size, take - chunk_size);
  }
  if (!stopped) {
    mpz_limbs_finish(quotient, x_size);
    mpz_swap(q, quotient);
    mpz_swap(r, rest);
  }
  mpz_clears(v, quotient, rest, chunk, nullptr);
  return !stopped;
}
