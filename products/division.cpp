#include "products/division.h"

#include <algorithm>
#include <cassert>

#include "products/product.h"
#include "products/product_tuning.h"
#include "products/wrapped_product.h"

namespace {

// Guard bits of the half-precision reciprocal a Newton step starts from: its relative error,
// squared by the step, then stays far below one unit of the result.
constexpr mp_bitcnt_t NEWTON_GUARD_BITS = 32;

// Bits of the residual of a Newton step below w's own precision that the correction takes.
constexpr mp_bitcnt_t RESIDUAL_KEPT_BITS = 16;

// How far below or above the true quotient a chunk's estimate may be (the reciprocal is within
// two units, and the estimate's own truncations add a few).
constexpr int MAX_CHUNK_CORRECTIONS = 8;

}  // namespace

void subtract_near_product(mpz_t t, const mpz_t a, const mpz_t b, mp_size_t bound_limbs,
                           const KeptOperand* kept_b) {
  assert(mpz_sgn(t) >= 0 && mpz_sgn(a) >= 0 && mpz_sgn(b) >= 0 && t != a && t != b);
  const bool a_longer = mpz_size(a) >= mpz_size(b);
  const auto an = static_cast<mp_size_t>(mpz_size(a_longer ? a : b));
  const auto bn = static_cast<mp_size_t>(mpz_size(a_longer ? b : a));
  if (bn == 0) return;
  const mp_size_t n = wrapped_size(bound_limbs + 1);
  // Where the residue would not save work (operands short against n, or longer), the product
  // whole.
  if (an > n || an + bn <= n / 2) {
    mpz_t product;
    mpz_init(product);
    multiply(product, a, b);
    mpz_sub(t, t, product);
    mpz_clear(product);
    return;
  }
  mpz_t room;
  mpz_init(room);
  mp_limb_t* residue = mpz_limbs_write(room, n + wrapped_scratch_limbs(n));
  mp_limb_t* folded = residue + n;  // the product's scratch first
  if (kept_b != nullptr &&
      wrapped_by_kept_fft(folded, n, mpz_limbs_read(a), static_cast<mp_size_t>(mpz_size(a)),
                          mpz_limbs_read(b), static_cast<mp_size_t>(mpz_size(b)), *kept_b)) {
    fold_to_residue(residue, n, folded, n + WRAPPED_FFT_EXTRA_LIMBS);
  } else {
    wrapped_multiply(residue, n, mpz_limbs_read(a_longer ? a : b), an,
                     mpz_limbs_read(a_longer ? b : a), bn, folded);
  }
  // t modulo B^n - 1, then t - a b modulo B^n - 1 (B^n - 1 itself standing for 0 either way).
  // (t < a b + B^n < B^(2n).)
  fold_to_residue(folded, n, mpz_limbs_read(t), static_cast<mp_size_t>(mpz_size(t)));
  if (mpn_sub_n(residue, folded, residue, n) != 0) mpn_sub_1(residue, residue, n, 1);
  // |t - a b| < B^bound_limbs < B^n / 2: a residue in the upper half is a negative difference,
  // whose size is its complement to B^n - 1.
  const bool negative = (residue[n - 1] >> (GMP_NUMB_BITS - 1)) != 0;
  if (negative) mpn_com(residue, residue, n);
  mp_limb_t* difference = mpz_limbs_write(t, n);
  mpn_copyi(difference, residue, n);
  mpz_limbs_finish(t, n);
  if (negative) mpz_neg(t, t);
  mpz_clear(room);
}

// Above NEWTON_RECIPROCAL_MIN_BITS bits, one Newton step y <- y + y (2^(2p) - d y) / 2^(2p) from w,
// the reciprocal of d's top h bits (half of them and the guard): y = w 2^(p-h), so both products
// take w's h bits, not y's p, and the residual is cut to the bits that count. The bound holds level
// by level: y differs from r = 2^(2p) / d by a factor 1 + u with |u| < (2 + 1.01) 2^-h (d's cut
// bits and w's error), the exact step would leave r u^2 < 2^-58 units, the residual's cut bits,
// times w / 2^(2h), less than RESIDUAL_KEPT_BITS allow (2^-16 units), and the correction's
// truncation less than one.
void approximate_reciprocal(mpz_t v, const mpz_t d, mp_bitcnt_t p) {
  if (p <= NEWTON_RECIPROCAL_MIN_BITS) {
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
  // (2^(2p) - d y) / 2^(p-h) = 2^(p+h) - d w, whose size is below 2^(p+2) (its factor u times
  // 2^(p+h)), from d w modulo B^n - 1.
  mpz_set_ui(residual, 0);
  mpz_setbit(residual, p + h);
  subtract_near_product(residual, d, w, static_cast<mp_size_t>((p + 2) / GMP_NUMB_BITS + 1));
  assert(mpz_sizeinbase(residual, 2) <= p + 2);
  // Its bits below 2^cut move the correction w residual / 2^(2h) by less than 2^(cut - h).
  const mp_bitcnt_t cut = h - RESIDUAL_KEPT_BITS;
  mpz_fdiv_q_2exp(residual, residual, cut);
  multiply(residual, residual, w);
  mpz_fdiv_q_2exp(residual, residual, 2 * h - cut);
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

// The divisor and its reciprocal kept in the FFT's transforms through the chunks of one long
// division, so that each chunk's two products transform only the chunk's own operand: the
// reciprocal for its whole product by the estimate's top (at a size no such product wraps), the
// divisor for the product subtract_near_product takes modulo B^n - 1. Measured with -r at 10^7
// digits, the blocks' top divisions (dividends about eight times their divisors) on one thread:
// 0.35 to 0.37 s in all against 0.39 to 0.41 s (0.39 to 0.44 s on two threads without them).
struct KeptDivisor {
  KeptOperand reciprocal;
  KeptOperand divisor;
  mpz_t product;  // room for the reciprocal's product
};

// Chunks from which keeping them repays the two transforms it takes.
constexpr mp_size_t KEPT_DIVISOR_MIN_CHUNKS = 3;

// Keeps d and v where the FFT takes their products and the calling thread's bound holds both
// kept numbers and a product's scratch by either; otherwise holds nothing (the chunks' products
// then transform both operands). Requires v and d unchanged while kept.
void keep_divisor(KeptDivisor* kept, const mpz_t v, const mpz_t d) {
  mpz_init(kept->product);
  const auto vn = static_cast<mp_size_t>(mpz_size(v));
  const auto dn = static_cast<mp_size_t>(mpz_size(d));
  // The estimate's top has at most v's limbs and one more.
  const mp_size_t reciprocal_n = wrapped_size(2 * vn + 2);
  const mp_size_t divisor_n = wrapped_size(dn + 2);
  const std::size_t reciprocal_bytes = kept_operand_bytes(reciprocal_n, vn);
  const std::size_t divisor_bytes = kept_operand_bytes(divisor_n, dn);
  if (reciprocal_bytes == 0 || divisor_bytes == 0 ||
      reciprocal_bytes + divisor_bytes + kept_product_scratch_bytes(reciprocal_n, vn) >
          thread_fft_scratch_bound()) {
    return;
  }
  // The scratch the thread kept from the reciprocal's steps would come on top.
  release_product_scratch();
  if (!keep_operand(&kept->reciprocal, reciprocal_n, mpz_limbs_read(v), vn) ||
      !keep_operand(&kept->divisor, divisor_n, mpz_limbs_read(d), dn)) {
    release_kept_operand(&kept->reciprocal);
  }
}

void release_divisor(KeptDivisor* kept) {
  release_kept_operand(&kept->reciprocal);
  release_kept_operand(&kept->divisor);
  mpz_clear(kept->product);
}

// q <- q v, by the kept reciprocal where it is held (its size n is 0 where it is not).
void multiply_by_reciprocal(mpz_t q, const mpz_t v, KeptDivisor* kept) {
  const auto qn = static_cast<mp_size_t>(mpz_size(q));
  const auto vn = static_cast<mp_size_t>(mpz_size(v));
  const mp_size_t n = kept != nullptr ? kept->reciprocal.n : 0;
  if (qn == 0 || qn + vn >= n) {
    multiply(q, q, v);
    return;
  }
  mp_limb_t* sum = mpz_limbs_write(kept->product, n + WRAPPED_FFT_EXTRA_LIMBS);
  if (!wrapped_by_kept_fft(sum, n, mpz_limbs_read(q), qn, mpz_limbs_read(v), vn,
                           kept->reciprocal)) {
    multiply(q, q, v);
    return;
  }
  // The product is below B^(qn + vn), short of B^n - 1: folded, it is itself.
  fold_to_residue(sum, n, sum, n + WRAPPED_FFT_EXTRA_LIMBS);
  mpz_limbs_finish(kept->product, qn + vn);
  mpz_swap(q, kept->product);
}

// q <- floor(t / d), t <- t - q d, for 0 <= t < 2^(2p), d of exactly p bits and v within a few
// units of its reciprocal floor(2^(2p) / d): the estimate floor(floor(t / 2^(p-1)) v / 2^(p+1))
// is within a few of q, then corrected. `kept`, where not null, holds v and d (see keep_divisor).
void divide_chunk(mpz_t q, mpz_t t, const mpz_t d, const mpz_t v, mp_bitcnt_t p,
                  KeptDivisor* kept) {
  mpz_tdiv_q_2exp(q, t, p - 1);
  multiply_by_reciprocal(q, v, kept);
  mpz_tdiv_q_2exp(q, q, p + 1);
  // t - q d lies within (-9 d, 9 d), below B^(d's limbs + 1).
  // (A divisor not held is passed over there.)
  subtract_near_product(t, q, d, static_cast<mp_size_t>(mpz_size(d)) + 1,
                        kept != nullptr ? &kept->divisor : nullptr);
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
    // x - estimate d lies within (-d, 2d).
    mpz_set(rest, x);
    subtract_near_product(rest, estimate, d, static_cast<mp_size_t>(mpz_size(d)) + 1);
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
  KeptDivisor kept;
  const bool keeping = x_size > (KEPT_DIVISOR_MIN_CHUNKS - 1) * step;
  if (keeping) keep_divisor(&kept, v, d);
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
    divide_chunk(chunk, rest, d, v, p, keeping ? &kept : nullptr);
    const auto chunk_size = static_cast<mp_size_t>(mpz_size(chunk));
    assert(chunk_size <= take);
    mpn_copyi(q_limbs + at, mpz_limbs_read(chunk), chunk_size);
    mpn_zero(q_limbs + at + chunk_size, take - chunk_size);
  }
  if (keeping) release_divisor(&kept);
  if (!stopped) {
    mpz_limbs_finish(quotient, x_size);
    mpz_swap(q, quotient);
    mpz_swap(r, rest);
  }
  mpz_clears(v, quotient, rest, chunk, nullptr);
  return !stopped;
}
