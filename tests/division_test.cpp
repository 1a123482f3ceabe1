// Division through Newton's reciprocal against GMP's own: divisors on both sides of the size
// where it takes over, dividends from shorter than the divisor to many times longer, quotients
// far shorter than the divisor (taken from its top limbs), remainders of 0 and of d - 1,
// divisors of long runs of zero or all-one bits, and results in the dividend; dividends of many
// chunks over the divisor kept transformed. The reciprocal
// alone against GMP's floor, within its stated bound. A stop between the products. A difference
// near a product, from the product's residue, at its bound's edges and at 0.
#include <gtest/gtest.h>

#include <random>

#include "products/division.h"
#include "products/product.h"
#include "products/product_tuning.h"
#include "products/wrapped_product.h"

namespace {

void random_bits(mpz_t x, mp_bitcnt_t bits, gmp_randstate_t random) {
  mpz_urandomb(x, random, bits);
  mpz_setbit(x, bits - 1);
}

// Divides x by d and checks both results against mpz_tdiv_qr: into numbers of their own, and
// with the remainder, then the quotient, in the dividend's place.
void expect_gmps_division(const mpz_t x, const mpz_t d) {
  mpz_t q, r, gq, gr;
  mpz_inits(q, r, gq, gr, nullptr);
  mpz_tdiv_qr(gq, gr, x, d);
  for (const int in_place : {0, 1, 2}) {
    mpz_set(in_place == 2 ? q : r, x);
    divide(q, r, in_place == 0 ? x : in_place == 1 ? r : q, d);
    EXPECT_EQ(mpz_cmp(q, gq), 0) << mpz_sizeinbase(x, 2) << " / " << mpz_sizeinbase(d, 2)
                                 << " bits, " << in_place;
    EXPECT_EQ(mpz_cmp(r, gr), 0) << mpz_sizeinbase(x, 2) << " / " << mpz_sizeinbase(d, 2)
                                 << " bits, " << in_place;
  }
  mpz_clears(q, r, gq, gr, nullptr);
}

// x = q d and x = q d + d - 1 (remainders 0 and d - 1), each divided as above.
void expect_gmps_exact_and_one_short(mpz_t x, const mpz_t q, const mpz_t d) {
  mpz_mul(x, q, d);
  expect_gmps_division(x, d);
  mpz_add(x, x, d);
  mpz_sub_ui(x, x, 1);
  expect_gmps_division(x, d);
}

TEST(Division, EqualsGmpsForEveryShape) {
  gmp_randstate_t random;
  gmp_randinit_default(random);
  gmp_randseed_ui(random, 2026);
  const mp_bitcnt_t m = DIVISION_MIN_BITS;
  mpz_t x, d, q;
  mpz_inits(x, d, q, nullptr);
  for (const mp_bitcnt_t d_bits : {m - 1, m + 1, 2 * m + 17, 5 * m, 16 * m + 3}) {
    random_bits(d, d_bits, random);
    for (const double times : {0.5, 1.0, 1.01, 2.0, 3.7, 9.0}) {
      const auto x_bits = static_cast<mp_bitcnt_t>(static_cast<double>(d_bits) * times);
      random_bits(x, x_bits, random);
      expect_gmps_division(x, d);
    }
    // Remainders 0 and d - 1, and x = d.
    random_bits(q, 3 * d_bits, random);
    expect_gmps_exact_and_one_short(x, q, d);
    expect_gmps_division(d, d);
    // Quotients far shorter than the divisor, exact and one short of the next.
    random_bits(q, d_bits / 3 + 1, random);
    expect_gmps_exact_and_one_short(x, q, d);
  }
  mpz_clears(x, d, q, nullptr);
  gmp_randclear(random);
}

// Divisors whose products pass the FFT's bound, over the whole transforms where a route's share
// lets them (GMP's division otherwise): the same results.
TEST(Division, PastTheBoundOverTheWholeTransforms) {
  ProductBounds bounds{fft_scratch_bytes(3000), true};
  bounds.whole_transforms_bytes = std::size_t{6} << 20;
  set_product_bounds(bounds);
  const bool whole = fft_takes_whole(40001, 40001);
  gmp_randstate_t random;
  gmp_randinit_default(random);
  gmp_randseed_ui(random, 2027);
  mpz_t x, d;
  mpz_inits(x, d, nullptr);
  for (const mp_bitcnt_t d_bits : {64 * 40000 + 5, 64 * 20000 + 63}) {
    random_bits(d, d_bits, random);
    for (const double times : {1.9, 4.2}) {
      random_bits(x, static_cast<mp_bitcnt_t>(static_cast<double>(d_bits) * times), random);
      expect_gmps_division(x, d);
    }
  }
  mpz_clears(x, d, nullptr);
  gmp_randclear(random);
  release_product_scratch();
  set_product_bounds({});
  if (fft_takes(40001, 40001)) {
    EXPECT_TRUE(whole) << "the whole transforms take the divisions";
  }
}

// Dividends of many divisors' lengths, whose chunks' products take the divisor and its
// reciprocal kept transformed where the FFT keeps numbers: exact and one-short quotients, a
// divisor of all ones, and a dividend shorter than three chunks (nothing kept).
TEST(Division, ManyChunksOverTheKeptDivisor) {
  set_product_bounds({std::size_t{64} << 20, true});
  gmp_randstate_t random;
  gmp_randinit_default(random);
  gmp_randseed_ui(random, 2028);
  mpz_t x, d, q;
  mpz_inits(x, d, q, nullptr);
  for (const mp_bitcnt_t d_bits : {64 * 3000 + 9, 64 * 9000 + 40}) {
    random_bits(d, d_bits, random);
    const mp_size_t chunk_product = wrapped_size(2 * static_cast<mp_size_t>(d_bits / 64) + 4);
    if (fft_takes(3000, 3000)) {
      EXPECT_NE(kept_operand_bytes(chunk_product, static_cast<mp_size_t>(d_bits / 64) + 1), 0u)
          << "the chunks' products keep numbers";
    }
    for (const double times : {2.5, 12.3}) {
      random_bits(x, static_cast<mp_bitcnt_t>(static_cast<double>(d_bits) * times), random);
      expect_gmps_division(x, d);
    }
    random_bits(q, 11 * d_bits, random);
    expect_gmps_exact_and_one_short(x, q, d);
    mpz_set_ui(d, 0);
    mpz_setbit(d, d_bits);
    mpz_sub_ui(d, d, 1);
    mpz_set_ui(x, 0);
    mpz_setbit(x, 9 * d_bits + 3);
    mpz_sub_ui(x, x, 1);
    expect_gmps_division(x, d);
  }
  mpz_clears(x, d, q, nullptr);
  gmp_randclear(random);
  release_product_scratch();
  set_product_bounds({});
}

// Divisors 2^k - 1 (all ones) and 2^k + 2^j + 1 (long runs of zeros) put the reciprocal's
// estimates at their edges.
TEST(Division, DivisorsOfLongRunsOfZerosOrOnes) {
  gmp_randstate_t random;
  gmp_randinit_default(random);
  gmp_randseed_ui(random, 7);
  mpz_t x, d;
  mpz_inits(x, d, nullptr);
  for (const mp_bitcnt_t k : {DIVISION_MIN_BITS + 64, 3 * DIVISION_MIN_BITS + 5}) {
    mpz_set_ui(d, 0);
    mpz_setbit(d, k);
    mpz_sub_ui(d, d, 1);
    random_bits(x, 4 * k, random);
    expect_gmps_division(x, d);
    mpz_set_ui(x, 0);
    mpz_setbit(x, 4 * k);
    mpz_sub_ui(x, x, 1);  // all ones too
    expect_gmps_division(x, d);
    mpz_set_ui(d, 1);
    mpz_setbit(d, k);
    mpz_setbit(d, k / 3);
    random_bits(x, 3 * k + 11, random);
    expect_gmps_division(x, d);
  }
  mpz_clears(x, d, nullptr);
  gmp_randclear(random);
}

// The reciprocal's bound over up to six Newton levels, for random divisors, the extremes of a
// p-bit divisor (2^(p-1) and 2^p - 1), and a power of ten moved up by a few limbs' bits, as the
// conversions to decimal take it.
TEST(Division, ReciprocalWithinItsBound) {
  gmp_randstate_t random;
  gmp_randinit_default(random);
  gmp_randseed_ui(random, 11);
  mpz_t d, v, exact;
  mpz_inits(d, v, exact, nullptr);
  const auto expect_within_bound = [&](mp_bitcnt_t p, const char* what) {
    ASSERT_EQ(mpz_sizeinbase(d, 2), p);
    approximate_reciprocal(v, d, p);
    mpz_set_ui(exact, 0);
    mpz_setbit(exact, 2 * p);
    mpz_tdiv_q(exact, exact, d);
    mpz_sub(exact, exact, v);
    EXPECT_LE(mpz_cmpabs_ui(exact, RECIPROCAL_MAX_ERROR), 0) << what << ", " << p << " bits";
  };
  const mp_bitcnt_t m = NEWTON_RECIPROCAL_MIN_BITS;
  for (const mp_bitcnt_t p : {m, m + 1, 2 * m + 17, 5 * m, 16 * m + 3, 40 * m + 1}) {
    for (int k = 0; k < 3; ++k) {
      random_bits(d, p, random);
      expect_within_bound(p, "random");
    }
    mpz_set_ui(d, 0);
    mpz_setbit(d, p - 1);
    expect_within_bound(p, "2^(p-1)");
    mpz_set_ui(d, 0);
    mpz_setbit(d, p);
    mpz_sub_ui(d, d, 1);
    expect_within_bound(p, "2^p - 1");
  }
  mpz_ui_pow_ui(d, 10, 200001);
  mpz_mul_2exp(d, d, 1);
  const mp_bitcnt_t p = (mpz_sizeinbase(d, 2) / GMP_NUMB_BITS + 5) * GMP_NUMB_BITS;
  mpz_mul_2exp(d, d, p - mpz_sizeinbase(d, 2));
  expect_within_bound(p, "2 10^200001");
  mpz_clears(d, v, exact, nullptr);
  gmp_randclear(random);
}

// Asks to stop at its `stop_at`-th poll and every one after it.
struct CountedStop {
  int polls = 0;
  int stop_at = 0;
};

bool counted_stop(void* context) {
  CountedStop* counted = static_cast<CountedStop*>(context);
  return ++counted->polls >= counted->stop_at;
}

// A stop at each of the division's polls in turn, the remainder in the dividend's place as the
// block engine has it: a stopped division leaves the dividend and the quotient as they were, one
// that ends gives GMP's results. Long quotients (in chunks) and short ones (from the top limbs).
TEST(Division, AStopBetweenItsProductsLeavesTheDividendAsItWas) {
  gmp_randstate_t random;
  gmp_randinit_default(random);
  gmp_randseed_ui(random, 2027);
  const mp_bitcnt_t m = DIVISION_MIN_BITS;
  mpz_t x, d, q, gq, gr, kept;
  mpz_inits(x, d, q, gq, gr, kept, nullptr);
  for (const double times : {7.5, 1.5}) {
    random_bits(d, 4 * m, random);
    random_bits(kept, static_cast<mp_bitcnt_t>(4.0 * static_cast<double>(m) * times), random);
    mpz_tdiv_qr(gq, gr, kept, d);
    int stopped = 0;
    for (int stop_at = 1;; ++stop_at) {
      mpz_set(x, kept);
      mpz_set_ui(q, 12345);
      CountedStop counted{0, stop_at};
      if (divide_unless_stopped(q, x, x, d, StopCheck{counted_stop, &counted})) {
        EXPECT_EQ(mpz_cmp(q, gq), 0) << times << ", stop at poll " << stop_at;
        EXPECT_EQ(mpz_cmp(x, gr), 0) << times << ", stop at poll " << stop_at;
        break;
      }
      ++stopped;
      EXPECT_EQ(mpz_cmp(x, kept), 0) << times << ", stop at poll " << stop_at;
      EXPECT_EQ(mpz_cmp_ui(q, 12345), 0) << times << ", stop at poll " << stop_at;
    }
    // Where the FFT does not take them, GMP's division runs whole and asks nothing.
    const auto half = static_cast<mp_size_t>(mpz_size(d) / 2);
    if (fft_takes_whole(half, half)) {
      EXPECT_GE(stopped, times > 2 ? 3 : 1) << times;
    }
  }
  mpz_clears(x, d, q, gq, gr, kept, nullptr);
  gmp_randclear(random);
}

// t - a b for t = a b + k: k = 0 (residues that may come out as B^n - 1), +-1 and the bound's
// largest, for operands of all-one limbs and random ones below and above the FFT's whole
// transforms; an operand far shorter (the whole product's path); a zero operand.
TEST(Division, DifferenceNearAProductFromItsResidue) {
  gmp_randstate_t random;
  gmp_randinit_default(random);
  gmp_randseed_ui(random, 2028);
  mpz_t a, b, t, k, expected;
  mpz_inits(a, b, t, k, expected, nullptr);
  const auto expect_difference = [&](mp_size_t bound_limbs, const char* what) {
    mpz_mul(t, a, b);
    mpz_add(t, t, k);
    if (mpz_sgn(t) < 0) return;  // t must be >= 0
    mpz_set(expected, k);
    subtract_near_product(t, a, b, bound_limbs);
    EXPECT_EQ(mpz_cmp(t, expected), 0) << what << ", " << mpz_size(a) << " x " << mpz_size(b)
                                       << " limbs, k of " << mpz_sizeinbase(k, 2) << " bits";
  };
  for (const mp_size_t limbs : {mp_size_t{40}, mp_size_t{900}, mp_size_t{3000}, mp_size_t{40000}}) {
    for (const bool ones : {true, false}) {
      if (ones) {
        mpz_set_ui(a, 0);
        mpz_setbit(a, static_cast<mp_bitcnt_t>(limbs) * GMP_NUMB_BITS);
        mpz_sub_ui(a, a, 1);
        mpz_set(b, a);
      } else {
        random_bits(a, static_cast<mp_bitcnt_t>(limbs) * GMP_NUMB_BITS - 3, random);
        random_bits(b, static_cast<mp_bitcnt_t>(limbs / 2) * GMP_NUMB_BITS + 5, random);
      }
      const mp_size_t bound = limbs + 1;
      const mp_bitcnt_t bound_bits = static_cast<mp_bitcnt_t>(bound) * GMP_NUMB_BITS;
      for (const long small : {0L, 1L, -1L}) {
        mpz_set_si(k, small);
        expect_difference(bound, ones ? "ones" : "random");
      }
      mpz_set_ui(k, 0);
      mpz_setbit(k, bound_bits);
      mpz_sub_ui(k, k, 1);
      expect_difference(bound, "the bound's largest");
      mpz_neg(k, k);
      expect_difference(bound, "the bound's most negative");
      random_bits(k, bound_bits - 7, random);
      mpz_neg(k, k);
      expect_difference(bound, "random negative");
    }
  }
  random_bits(a, 64 * 5000, random);
  random_bits(b, 64 * 3, random);
  random_bits(k, 64 * 2, random);
  expect_difference(3, "a short operand");
  mpz_set_ui(b, 0);
  expect_difference(3, "a zero operand");
  mpz_clears(a, b, t, k, expected, nullptr);
  gmp_randclear(random);
}

}  // namespace
