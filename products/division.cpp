#include "products/division.h"

#include <cassert>

#include "products/product.h"
#include "products/product_tuning.h"

namespace {

// Guard bits of the half-precision reciprocal a Newton step starts from: its relative error,
// squared by the step, then stays far below one unit of the result.
constexpr mp_bitcnt_t NEWTON_GUARD_BITS = 32;

// How far the reciprocal may be from the exact one, in units (each level's own truncations add at
// most two; the guard bits keep the squared error below one), and so how far below or above the
// true quotient a chunk's estimate may be.
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

// v <- 2^(2p) / d within a few units, for a d of exactly p bits: up to DIVISION_MIN_BITS bits by
// GMP's division, above by one Newton step y <- y + y (2^(2p) - d y) / 2^(2p) from w, the
// reciprocal of d's top h bits (half of them and the guard): y = w 2^(p-h), so both products take
// w's h bits, not y's p, and the residual is cut to the bits that count.
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
  [[maybe_unused]] int corrections = 0;
  while (mpz_sgn(t) < 0) {
    mpz_sub_ui(q, q, 1);
    mpz_add(t, t, d);
    ++corrections;
  }
  while (mpz_cmp(t, d) >= 0) {
    mpz_add_ui(q, q, 1);
    mpz_sub(t, t, d);
    ++corrections;
  }
  assert(corrections <= MAX_CHUNK_CORRECTIONS);
}

}  // namespace

void divide(mpz_t q, mpz_t r, const mpz_t x, const mpz_t d) {
  assert(mpz_sgn(x) >= 0 && mpz_sgn(d) > 0 && q != r && q != d && r != d);
  const mp_bitcnt_t p = mpz_sizeinbase(d, 2);
  const auto limbs = static_cast<mp_size_t>(mpz_size(d));
  if (p <= DIVISION_MIN_BITS || !fft_takes(limbs + 1, limbs + 1) || mpz_cmp(x, d) < 0) {
    mpz_tdiv_qr(q, r, x, d);
    return;
  }
  mpz_t v, rest, top, chunk;
  mpz_inits(v, rest, top, chunk, nullptr);
  approximate_reciprocal(v, d, p);
  mpz_set(rest, x);
  mpz_set_ui(q, 0);
  // From the top, 2p bits at a time: each chunk leaves a remainder below d, so the next chunk
  // takes p bits more of the dividend.
  for (mp_bitcnt_t bits = mpz_sizeinbase(rest, 2); mpz_cmp(rest, d) >= 0;
       bits = mpz_sizeinbase(rest, 2)) {
    const mp_bitcnt_t shift = bits > 2 * p ? bits - 2 * p : 0;
    mpz_tdiv_q_2exp(top, rest, shift);
    mpz_tdiv_r_2exp(rest, rest, shift);
    divide_chunk(chunk, top, d, v, p);
    mpz_mul_2exp(top, top, shift);
    mpz_add(rest, rest, top);
    mpz_mul_2exp(chunk, chunk, shift);
    mpz_add(q, q, chunk);
  }
  mpz_swap(r, rest);
  mpz_clears(v, rest, top, chunk, nullptr);
}
