#include "direct_route/binary_root.h"

#include <cassert>
#include <cmath>
#include <cstdlib>

#include "products/memory_arena.h"
#include "products/product.h"
#include "products/wrapped_product.h"

namespace {

constexpr std::uint64_t LIMB_BITS = GMP_NUMB_BITS;
// Bits by which each iteration falls short of doubling: room for the iterates' own errors.
constexpr std::uint64_t ITERATION_GUARD_BITS = 24;
// Residuals of up to 2^(q + RESIDUAL_SLACK_BITS) are expected for an iterate of q bits.
constexpr std::uint64_t RESIDUAL_SLACK_BITS = 60;
// Iterations at most: each about halves the precision, from below 2^64 bits.
constexpr std::size_t MAX_ITERATIONS = 128;
// The largest error bound, in units of the last limb, that the result may carry.
constexpr std::uint64_t ROOT_ERROR_LIMIT_BITS = 16;

std::uint64_t bit_length(const mpz_t x) { return mpz_sgn(x) == 0 ? 0 : mpz_sizeinbase(x, 2); }

// T = 2^(2q) - 2R^2 for an iterate R ~ 2^q / sqrt(2), from the square modulo B^n - 1: the top of
// 2R^2 cancels against 2^(2q), so n need only cover |T|. Returns false when |T| reaches
// 2^(q + RESIDUAL_SLACK_BITS), beyond what the iteration can produce.
RootStatus residual(mpz_t t, const mpz_t r, std::uint64_t q) {
  const mp_size_t n =
      wrapped_size(static_cast<mp_size_t>((q + RESIDUAL_SLACK_BITS + 2) / LIMB_BITS + 1), true);
  mp_limb_t* w =
      static_cast<mp_limb_t*>(arena_allocate((n + wrapped_scratch_limbs(n)) * sizeof(mp_limb_t)));
  if (w == nullptr) return RootStatus::NO_MEMORY;
  wrapped_square(w, n, mpz_limbs_read(r), static_cast<mp_size_t>(mpz_size(r)), w + n);
  // 2 R^2, then its negation (the complement, as B^n - 1 is all ones), then + 2^(2q): each
  // modulo B^n - 1, where a carry out of the top comes back in at the bottom.
  mpn_add_1(w, w, n, mpn_lshift(w, w, n, 1));
  mpn_com(w, w, n);
  const std::uint64_t bit = (2 * q) % (LIMB_BITS * n);
  const mp_size_t limb = static_cast<mp_size_t>(bit / LIMB_BITS);
  if (mpn_add_1(w + limb, w + limb, n - limb, mp_limb_t{1} << (bit % LIMB_BITS)) != 0) {
    mpn_add_1(w, w, n, 1);
  }
  // The residue is T itself if below half the modulus, else T + B^n - 1 with T negative.
  const bool negative = (w[n - 1] >> (LIMB_BITS - 1)) != 0;
  if (negative) mpn_com(w, w, n);
  mp_size_t size = n;
  while (size > 0 && w[size - 1] == 0) --size;
  mp_limb_t* out = mpz_limbs_write(t, size > 0 ? size : 1);
  mpn_copyi(out, w, size);
  mpz_limbs_finish(t, negative ? -size : size);
  arena_free(w);
  return bit_length(t) < q + RESIDUAL_SLACK_BITS ? RootStatus::PROVEN : RootStatus::UNPROVEN;
}

// One iteration from R (q bits) to R' (p bits, p <= 2q - ITERATION_GUARD_BITS) given its residual
// T: R' = floor(R 2^(p-q) + R T / 2^(3q+1-p)), that is r' = r + r t / 2 rounded down.
void newton_step(mpz_t r, const mpz_t t, std::uint64_t q, std::uint64_t p, mpz_t scratch) {
  multiply(scratch, r, t);
  mpz_fdiv_q_2exp(scratch, scratch, static_cast<mp_bitcnt_t>(3 * q + 1 - p));
  mpz_mul_2exp(r, r, static_cast<mp_bitcnt_t>(p - q));
  mpz_add(r, r, scratch);
}

// `value` (below B^count) as a fraction of `count` limbs with the given error bound. Returns
// false when memory is short.
bool bounded_fraction(const mpz_t value, std::size_t count, std::uint64_t error,
                      BoundedFraction* fraction) {
  fraction->limbs = static_cast<mp_limb_t*>(arena_allocate(count * sizeof(mp_limb_t)));
  if (fraction->limbs == nullptr) return false;
  const std::size_t used = mpz_size(value);
  mpn_copyi(fraction->limbs, mpz_limbs_read(value), static_cast<mp_size_t>(used));
  mpn_zero(fraction->limbs + used, static_cast<mp_size_t>(count - used));
  fraction->count = count;
  fraction->error = error;
  return true;
}

// The leading `count` limbs of the fraction part of sqrt(2) from an iterate R of q bits whose
// residual is yet to be known: with R = sqrt(2) 2^(q-1) + e, f = floor((R - 2^(q-1)) / 2^d) - 2
// for d = q - 1 - LIMB_BITS count. Once |T| < 2^(q+d), |e| <= 0.36 |T| / 2^q, so the true
// fraction lies in [f, f + 4) B^-count.
bool early_fraction(const mpz_t r, std::uint64_t q, std::size_t count, BoundedFraction* early) {
  mpz_t f;
  mpz_init(f);
  mpz_fdiv_q_2exp(f, r, static_cast<mp_bitcnt_t>(q - 1 - LIMB_BITS * count));
  mpz_clrbit(f, static_cast<mp_bitcnt_t>(LIMB_BITS * count));
  if (mpz_cmp_ui(f, 2) >= 0) {
    mpz_sub_ui(f, f, 2);
  } else {
    mpz_set_ui(f, 0);
  }
  const bool made = bounded_fraction(f, count, 4, early);
  mpz_clear(f);
  return made;
}

}  // namespace

RootStatus binary_root(std::size_t count, const std::size_t* early_counts, unsigned early_levels,
                       EarlyFractionSink sink, void* context, BoundedFraction* root) {
  assert(count >= 2);
  // Precisions in bits, last first: R = 1/sqrt(2) 2^P = sqrt(2) 2^(P-1) with
  // P - 1 = LIMB_BITS count; the iterate k iterations before the end has room for level k's early
  // limbs and a limb more.
  // (A fixed array: nothing may fail for memory once the route has started.)
  const std::uint64_t final_bits = LIMB_BITS * count + 1;
  std::uint64_t precisions[MAX_ITERATIONS] = {final_bits};
  std::size_t iterations = 1;
  while (iterations <= early_levels || precisions[iterations - 1] > 90) {
    assert(iterations < MAX_ITERATIONS);
    std::uint64_t next = (precisions[iterations - 1] + 1) / 2 + ITERATION_GUARD_BITS;
    const std::size_t level = iterations;
    if (level <= early_levels) {
      assert(early_counts[level - 1] < (level == 1 ? count : early_counts[level - 2]));
      const std::uint64_t wanted = LIMB_BITS * early_counts[level - 1] + 1 + LIMB_BITS;
      if (next < wanted) next = wanted;
    }
    precisions[iterations++] = next;
  }

  mpz_t r, t, scratch;
  mpz_inits(r, t, scratch, nullptr);
  std::uint64_t q = 50;
  mpz_set_d(r, std::ldexp(0.70710678118654752440, static_cast<int>(q)));
  RootStatus status = RootStatus::PROVEN;
  std::uint64_t error = 0;
  for (std::size_t i = iterations; status == RootStatus::PROVEN && i-- > 0;) {
    const std::uint64_t p = precisions[i];
    const unsigned level = static_cast<unsigned>(i + 1);  // the iterate in hand is level's
    const std::size_t early_count = level <= early_levels ? early_counts[level - 1] : 0;
    if (early_count > 0) {
      BoundedFraction early;
      if (!early_fraction(r, q, early_count, &early)) {
        status = RootStatus::NO_MEMORY;
        break;
      }
      sink(context, level, early);
    }
    status = residual(t, r, q);
    const std::uint64_t t_bits = bit_length(t);
    if (status == RootStatus::PROVEN && early_count > 0 &&
        t_bits > q + (q - 1 - LIMB_BITS * early_count)) {
      status = RootStatus::UNPROVEN;
    }
    if (status == RootStatus::PROVEN && i == 0) {
      // r' = r + r t / 2 misses 1/sqrt(2) by (1 - sqrt(1-t)(1 + t/2)) / sqrt(2) in [0, t^2), and
      // the rounding down adds less than one unit: error < t^2 2^P + 1 units.
      const std::int64_t square_bits =
          static_cast<std::int64_t>(2 * t_bits + p) - static_cast<std::int64_t>(4 * q);
      if (square_bits > static_cast<std::int64_t>(ROOT_ERROR_LIMIT_BITS)) {
        status = RootStatus::UNPROVEN;
      }
      error = (square_bits <= 0 ? 1 : std::uint64_t{1} << square_bits) + 1;
    }
    if (status == RootStatus::PROVEN) newton_step(r, t, q, p, scratch);
    q = p;
  }
  mpz_clears(t, scratch, nullptr);
  // sqrt(2) 2^(LIMB_BITS count) lies in [2^(LIMB_BITS count), 2^(LIMB_BITS count + 1)); the
  // fraction is what is above.
  if (status == RootStatus::PROVEN && bit_length(r) != final_bits) status = RootStatus::UNPROVEN;
  if (status == RootStatus::PROVEN) {
    mpz_clrbit(r, static_cast<mp_bitcnt_t>(LIMB_BITS * count));
    if (!bounded_fraction(r, count, error, root)) status = RootStatus::NO_MEMORY;
  }
  mpz_clear(r);
  return status;
}
