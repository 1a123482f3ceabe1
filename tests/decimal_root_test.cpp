// The direct route's parts: wrapped products, the binary root and its bounds, the decimal
// pieces and the queue that shares them, each against GMP's plain integer arithmetic.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "direct_route/binary_root.h"
#include "products/memory_arena.h"
#include "products/middle_product.h"
#include "products/product.h"
#include "products/product_tuning.h"
#include "products/wrapped_product.h"
#include "radix/conversion_queue.h"
#include "radix/decimal_tree.h"

namespace {

std::vector<mp_limb_t> random_limbs(std::mt19937_64& rng, std::size_t count) {
  std::vector<mp_limb_t> limbs(count);
  for (mp_limb_t& limb : limbs) limb = rng();
  // Long runs of zero and all-one limbs too, where carries travel far.
  if (count > 4 && rng() % 3 == 0) {
    std::size_t from = rng() % count;
    std::size_t to = from + rng() % (count - from);
    mp_limb_t fill = rng() % 2 ? ~mp_limb_t{0} : 0;
    for (std::size_t i = from; i < to; ++i) limbs[i] = fill;
  }
  if (limbs.back() == 0) limbs.back() = 1;
  return limbs;
}

void limbs_to_mpz(mpz_t value, const mp_limb_t* limbs, std::size_t count) {
  mpz_import(value, count, -1, sizeof(mp_limb_t), 0, 0, limbs);
}

// {a} {b} mod (B^n - 1) by plain integers.
void residue(mpz_t result, const mpz_t a, const mpz_t b, mp_size_t n) {
  mpz_t modulus;
  mpz_init(modulus);
  mpz_setbit(modulus, 64 * n);
  mpz_sub_ui(modulus, modulus, 1);
  mpz_mul(result, a, b);
  mpz_mod(result, result, modulus);
  mpz_clear(modulus);
}

// Checks the wrapped product of a and b of size n, and a's wrapped square where it is allowed,
// against plain integers.
void expect_wrapped_products(mp_size_t n, const std::vector<mp_limb_t>& a,
                             const std::vector<mp_limb_t>& b) {
  const auto an = static_cast<mp_size_t>(a.size());
  const auto bn = static_cast<mp_size_t>(b.size());
  // (r full of ones: every limb of it is the product's to write, short operands' too)
  std::vector<mp_limb_t> r(n + WRAPPED_FFT_EXTRA_LIMBS, ~mp_limb_t{0}),
      scratch(wrapped_scratch_limbs(n));
  mpz_t za, zb, expected, got;
  mpz_inits(za, zb, expected, got, nullptr);
  limbs_to_mpz(za, a.data(), a.size());
  limbs_to_mpz(zb, b.data(), b.size());
  wrapped_multiply(r.data(), n, a.data(), an, b.data(), bn, scratch.data());
  limbs_to_mpz(got, r.data(), n);
  residue(expected, za, zb, n);
  EXPECT_EQ(mpz_cmp(got, expected), 0) << "multiply n=" << n << " an=" << an << " bn=" << bn;
  if (an > n / 4) {
    wrapped_square(r.data(), n, a.data(), an, scratch.data());
    limbs_to_mpz(got, r.data(), n);
    residue(expected, za, za, n);
    EXPECT_EQ(mpz_cmp(got, expected), 0) << "square n=" << n << " an=" << an;
  }
  mpz_clears(za, zb, expected, got, nullptr);
}

// Checks the product of a and b modulo B^n - 1 taken through `kept`, which holds b at size n,
// against plain integers.
void expect_product_by_kept(mp_size_t n, const std::vector<mp_limb_t>& a,
                            const std::vector<mp_limb_t>& b, const KeptOperand& kept) {
  const auto an = static_cast<mp_size_t>(a.size());
  const auto bn = static_cast<mp_size_t>(b.size());
  std::vector<mp_limb_t> r(n + WRAPPED_FFT_EXTRA_LIMBS, ~mp_limb_t{0}),
      scratch(wrapped_scratch_limbs(n));
  wrapped_multiply(r.data(), n, a.data(), an, b.data(), bn, scratch.data(), &kept);
  mpz_t za, zb, expected, got;
  mpz_inits(za, zb, expected, got, nullptr);
  limbs_to_mpz(za, a.data(), a.size());
  limbs_to_mpz(zb, b.data(), b.size());
  limbs_to_mpz(got, r.data(), static_cast<std::size_t>(n));
  residue(expected, za, zb, n);
  EXPECT_EQ(mpz_cmp(got, expected), 0)
      << "by the kept one, n=" << n << " an=" << an << " bn=" << bn;
  mpz_clears(za, zb, expected, got, nullptr);
}

TEST(WrappedProducts, AgreeWithTheFullProductModuloBToTheNMinusOne) {
  std::mt19937_64 rng(77);
  const std::vector<mp_size_t> sizes{1, 2, 3, 7, 30, 101, 1000, 4321, 30000, 200000};
  for (mp_size_t wanted : sizes) {
    const mp_size_t n = wrapped_size(wanted);
    ASSERT_GE(n, wanted);
    for (mp_size_t an : {n, n - n / 3, n / 2 + 1}) {
      const mp_size_t bn = std::max<mp_size_t>(1, an / 2 + static_cast<mp_size_t>(rng() % 3) - 1);
      if (an < 1 || bn > an || an + bn <= n / 2) continue;
      expect_wrapped_products(n, random_limbs(rng, an), random_limbs(rng, bn));
    }
  }
}

// Every size the FFT's whole transforms choose from 1000 limbs to 70,000 (each set of primes
// among them), with the largest coefficients their primes must hold: both operands all ones at
// the full length, and at a quarter and a half of it.
TEST(WrappedProducts, EveryShapeOfTheWholeTransformsHoldsTheLargestCoefficients) {
  if (wrapped_fft_size(WRAPPED_TRANSFORM_MIN_LIMBS, false) == 0) {
    GTEST_SKIP() << "no FFT in this build or on this processor";
  }
  std::mt19937_64 rng(80);
  int sizes = 0;
  for (mp_size_t wanted = WRAPPED_TRANSFORM_MIN_LIMBS; wanted < 70000; wanted = wanted * 9 / 8) {
    const mp_size_t n = wrapped_size(wanted);
    ASSERT_EQ(n, wrapped_fft_size(wanted, false)) << wanted;
    ASSERT_GE(n, wanted);
    std::vector<mp_limb_t> ones(static_cast<std::size_t>(n), ~mp_limb_t{0});
    ones[0] -= 1;
    expect_wrapped_products(n, ones, ones);
    expect_wrapped_products(n, ones, std::vector<mp_limb_t>(ones.begin(), ones.begin() + n / 4));
    expect_wrapped_products(n, random_limbs(rng, n), random_limbs(rng, n / 2));
    ++sizes;
  }
  EXPECT_GE(sizes, 20);
}

// A bound on the shorter operand admits shapes whose primes could not hold operands as long as
// the size: sizes just past the bounds of FLINT's sets of 5, 6, 7 and 8 primes (534, 2,337, 9,826
// and 34,662 limbs), quicker there than the usual shapes, of another size or, where the size is
// the same, another count of primes (seen in what a kept number takes). With the largest
// coefficients at that bound, by both operands and by the short one kept, the products agree; and
// with long runs of zero coefficients, which are recombined the careful way beside quick ones.
// Both ways of recombining the primes' results: by columns of double limbs, and by digits of 52
// bits where the processor has AVX-512's multiply-adds for them.
TEST(WrappedProducts, ShapesForAShortOperandHoldItsLargestCoefficients) {
  if (wrapped_fft_size(WRAPPED_TRANSFORM_MIN_LIMBS, false) == 0) {
    GTEST_SKIP() << "no FFT in this build or on this processor";
  }
  const ProcessorFeatures here = processor_features();
  std::mt19937_64 rng(534);
  for (const bool by_digits : {false, true}) {
    if (by_digits && !here.ifma) continue;
    ProcessorFeatures features = here;
    features.ifma = by_digits;
    ASSERT_TRUE(choose_fft_products(features));
    const std::pair<mp_size_t, mp_size_t> cases[] = {
        {1900, 534}, {4500, 2337}, {10600, 9826}, {48500, 34662}};
    for (const auto& [wanted, shorter] : cases) {
      const mp_size_t n = wrapped_size(wanted, false, shorter);
      ASSERT_GE(n, wanted);
      EXPECT_TRUE(n != wrapped_size(wanted) ||
                  kept_operand_bytes(n, shorter) != kept_operand_bytes(n, n))
          << wanted << " limbs by " << shorter;
      std::vector<mp_limb_t> ones(static_cast<std::size_t>(n), ~mp_limb_t{0});
      ones[0] -= 1;  // not B^n - 1, whose residue 0 may come out as B^n - 1
      const std::vector<mp_limb_t> short_ones(ones.begin(), ones.begin() + shorter);
      expect_wrapped_products(n, ones, short_ones);
      KeptOperand kept;
      ASSERT_TRUE(keep_operand(&kept, n, short_ones.data(), shorter)) << n;
      expect_product_by_kept(n, ones, short_ones, kept);
      release_kept_operand(&kept);
      // Zero runs twice as long as the short operand: the coefficients within are zero.
      std::vector<mp_limb_t> runs = random_limbs(rng, n);
      for (std::size_t i = 0; i < runs.size(); ++i) {
        if ((i / (2 * shorter)) % 2 == 1) runs[i] = 0;
      }
      expect_wrapped_products(n, runs, random_limbs(rng, shorter));
    }
  }
  ASSERT_TRUE(choose_fft_products(here));
  release_product_scratch();
}

// The arena's high water for a wrapped product (a square when `squaring`), the arena holding
// nothing else, under `bound` on the calling thread's FFT scratch; the product checked after
// against plain integers.
std::size_t wrapped_high_water(mp_size_t n, const std::vector<mp_limb_t>& a,
                               const std::vector<mp_limb_t>& b, bool squaring, std::size_t bound,
                               unsigned threads = 1) {
  std::vector<mp_limb_t> r(n + WRAPPED_FFT_EXTRA_LIMBS), scratch(wrapped_scratch_limbs(n));
  EXPECT_TRUE(arena_reserve(std::size_t{64} << 20));
  set_thread_alone(bound, threads);
  const auto an = static_cast<mp_size_t>(a.size());
  if (squaring) {
    wrapped_square(r.data(), n, a.data(), an, scratch.data());
  } else {
    wrapped_multiply(r.data(), n, a.data(), an, b.data(), static_cast<mp_size_t>(b.size()),
                     scratch.data());
  }
  const std::size_t high_water = arena_use().high_water;
  end_thread_alone();
  arena_release();
  mpz_t za, zb, expected, got;
  mpz_inits(za, zb, expected, got, nullptr);
  limbs_to_mpz(za, a.data(), a.size());
  limbs_to_mpz(zb, b.data(), b.size());
  residue(expected, za, squaring ? za : zb, n);
  limbs_to_mpz(got, r.data(), static_cast<std::size_t>(n));
  EXPECT_EQ(mpz_cmp(got, expected), 0) << n << (squaring ? " squared" : "");
  mpz_clears(za, zb, expected, got, nullptr);
  return high_water;
}

// The whole transforms take a product only within the thread's bound on its scratch: under a
// bound just below what one took, the same product is turned away (another size, or GMP's) or
// stays below it. Products and squares of random sizes.
TEST(WrappedProducts, WholeTransformsStayWithinTheScratchBound) {
  if (wrapped_fft_size(WRAPPED_TRANSFORM_MIN_LIMBS, false) == 0) {
    GTEST_SKIP() << "no FFT in this build or on this processor";
  }
  std::mt19937_64 rng(81);
  for (int round = 0; round < 12; ++round) {
    const auto wanted = static_cast<mp_size_t>(WRAPPED_TRANSFORM_MIN_LIMBS + rng() % 150000);
    const bool squaring = round % 3 == 0;
    set_thread_alone(std::size_t{48} << 20, 1);
    const mp_size_t n = wrapped_size(wanted, squaring);
    end_thread_alone();
    const std::vector<mp_limb_t> a = random_limbs(rng, n);
    const std::vector<mp_limb_t> b = random_limbs(rng, n / 2);
    const std::size_t used = wrapped_high_water(n, a, b, squaring, std::size_t{48} << 20);
    ASSERT_GT(used, std::size_t{0});
    set_thread_alone(used - 1, 1);
    const bool turned_away = wrapped_size(wanted, squaring) != n;
    end_thread_alone();
    if (!turned_away) {
      EXPECT_LT(wrapped_high_water(n, a, b, squaring, used - 1), used)
          << n << (squaring ? " squared" : "");
    }
  }
}

// Operands of the largest coefficients for a product of size n from `wanted` limbs up (all ones
// but the lowest limb, times half as many), and the scratch the usual whole transforms take for
// them.
struct LargestCoefficients {
  mp_size_t n = 0;
  std::vector<mp_limb_t> ones, half;
  std::size_t usual = 0;
};
LargestCoefficients largest_coefficients(mp_size_t wanted) {
  LargestCoefficients at;
  at.n = wrapped_size(wanted);
  at.ones.assign(static_cast<std::size_t>(at.n), ~mp_limb_t{0});
  at.ones[0] -= 1;
  at.half.assign(at.ones.begin(), at.ones.begin() + at.n / 2);
  at.usual = wrapped_high_water(at.n, at.ones, at.half, false, std::size_t{1} << 30);
  return at;
}

// Where the whole transforms' usual scratch is past the bound, they hold the second operand's
// transforms one prime at a time: under a bound just below what the usual ones took, sizes of
// every set of primes from 28,000 limbs up (transforms of 2^14 on) still take them, with the
// largest coefficients, within 70% of the usual; so do squares from 150,000 limbs, which hold
// one prime's tables of roots at a time, within the bound.
TEST(WrappedProducts, LeanTransformsHoldTheLargestCoefficientsWithinTheBound) {
  if (wrapped_fft_size(WRAPPED_TRANSFORM_MIN_LIMBS, false) == 0) {
    GTEST_SKIP() << "no FFT in this build or on this processor";
  }
  std::mt19937_64 rng(84);
  for (mp_size_t wanted = 28000; wanted < 300000; wanted = wanted * 5 / 4) {
    const auto [n, ones, half, usual] = largest_coefficients(wanted);
    const std::size_t bound = usual - 1;
    set_thread_alone(bound, 1);
    ASSERT_EQ(wrapped_fft_size(wanted, false), n) << n;
    end_thread_alone();
    const std::size_t lean = wrapped_high_water(n, ones, half, false, bound);
    EXPECT_LE(lean, usual / 10 * 7) << n;
    EXPECT_LE(wrapped_high_water(n, ones, ones, false, bound), bound) << n;
    EXPECT_LE(wrapped_high_water(n, random_limbs(rng, n), random_limbs(rng, n / 3), false, bound),
              bound)
        << n;
    if (n < 150000) continue;  // below, the tables of roots are too small to matter
    const std::size_t usual_square = wrapped_high_water(n, ones, ones, true, std::size_t{1} << 30);
    set_thread_alone(usual_square - 1, 1);
    ASSERT_EQ(wrapped_fft_size(wanted, true), n) << n << " squared";
    end_thread_alone();
    EXPECT_LE(wrapped_high_water(n, ones, ones, true, usual_square - 1), usual_square - 1) << n;
  }
}

// Under a bound far below their scratch, the whole transforms still take a product modulo B^n - 1
// where they need no more than GMP's wrapped product would take in its place, and stay within
// that, with the largest coefficients: several sizes from 150,000 limbs to 600,000.
TEST(WrappedProducts, PastTheBoundWithinWhatGmpsWouldTake) {
  if (wrapped_fft_size(WRAPPED_TRANSFORM_MIN_LIMBS, false) == 0) {
    GTEST_SKIP() << "no FFT in this build or on this processor";
  }
  constexpr std::size_t bound = std::size_t{1} << 20;
  int taken = 0;
  for (mp_size_t wanted = 150000; wanted < 600000; wanted = wanted * 9 / 8) {
    set_thread_alone(bound, 1);
    const mp_size_t n = wrapped_size(wanted);
    const bool by_fft = wrapped_fft_size(wanted, false) == n;
    end_thread_alone();
    if (!by_fft) continue;  // GMP's, whose scratch is its own
    ++taken;
    std::vector<mp_limb_t> ones(static_cast<std::size_t>(n), ~mp_limb_t{0});
    ones[0] -= 1;  // not B^n - 1, whose residue 0 may come out as B^n - 1
    const std::vector<mp_limb_t> half(ones.begin(), ones.begin() + n / 2);
    const std::size_t used = wrapped_high_water(n, ones, half, false, bound);
    EXPECT_GT(used, bound) << n;
    EXPECT_LE(used, GMP_WRAPPED_BYTES_PER_LIMB * static_cast<std::size_t>(n)) << n;
  }
  EXPECT_GE(taken, 3);
}

// Products past the bound on two threads at once take their turns, so that their scratch never
// meets: the arena's high water stays below one and a half such products'. (The products are
// checked after the arena is gone, whose high water GMP's own numbers would raise.)
TEST(WrappedProductsTwoThreads, PastTheBoundOneAtATime) {
  constexpr std::size_t bound = std::size_t{1} << 20;
  set_thread_alone(bound, 1);
  const mp_size_t n = wrapped_size(330000);
  const bool by_fft = wrapped_fft_size(330000, false) == n;
  end_thread_alone();
  if (!by_fft) GTEST_SKIP() << "no FFT in this build or on this processor";
  struct Product {
    std::vector<mp_limb_t> a, b, r;
  };
  std::vector<Product> products(6);
  std::mt19937_64 rng(90);
  for (Product& product : products) {
    product.a = random_limbs(rng, n);
    product.b = random_limbs(rng, n / 2);
    product.r.resize(n + WRAPPED_FFT_EXTRA_LIMBS);
  }
  const std::size_t one = wrapped_high_water(n, products[0].a, products[0].b, false, bound);
  ASSERT_TRUE(arena_reserve(std::size_t{64} << 20));
  auto multiply_every_other = [&](std::size_t first) {
    set_thread_alone(bound, 1);
    std::vector<mp_limb_t> scratch(wrapped_scratch_limbs(n));
    for (std::size_t i = first; i < products.size(); i += 2) {
      Product& product = products[i];
      wrapped_multiply(product.r.data(), n, product.a.data(), n, product.b.data(), n / 2,
                       scratch.data());
    }
    end_thread_alone();
  };
  std::thread other(multiply_every_other, 1);
  multiply_every_other(0);
  other.join();
  const std::size_t both = arena_use().high_water;
  arena_release();
  EXPECT_LT(both, one / 2 * 3);
  mpz_t za, zb, expected, got;
  mpz_inits(za, zb, expected, got, nullptr);
  for (const Product& product : products) {
    limbs_to_mpz(za, product.a.data(), product.a.size());
    limbs_to_mpz(zb, product.b.data(), product.b.size());
    residue(expected, za, zb, n);
    limbs_to_mpz(got, product.r.data(), static_cast<std::size_t>(n));
    EXPECT_EQ(mpz_cmp(got, expected), 0);
  }
  mpz_clears(za, zb, expected, got, nullptr);
}

// A thread alone whose FFT runs on two threads shares the lean transforms' primes with the other:
// under a bound that turns the usual transforms away but leaves room for the other thread's
// second operand, the product is still taken, is right with the largest coefficients, stays
// within the bound, and holds more than the lean transforms on one thread (the other thread's
// share). From 60,000 limbs on, where the other thread's tables and chunk are small beside the
// transforms.
TEST(WrappedProductsTwoThreads, AThreadAloneSharesTheLeanTransformsPrimes) {
  if (wrapped_fft_size(WRAPPED_TRANSFORM_MIN_LIMBS, false) == 0) {
    GTEST_SKIP() << "no FFT in this build or on this processor";
  }
  std::mt19937_64 rng(89);
  for (mp_size_t wanted = 60000; wanted < 300000; wanted = wanted * 3 / 2) {
    const auto [n, ones, half, usual] = largest_coefficients(wanted);
    const std::size_t bound = usual - 1;
    const std::size_t lean = wrapped_high_water(n, ones, half, false, bound);
    set_thread_alone(bound, 2);
    ASSERT_EQ(wrapped_fft_size(wanted, false), n) << n;
    end_thread_alone();
    const std::size_t shared = wrapped_high_water(n, ones, half, false, bound, 2);
    EXPECT_LE(shared, bound) << n;
    EXPECT_GT(shared, lean) << n;
    EXPECT_LE(
        wrapped_high_water(n, random_limbs(rng, n), random_limbs(rng, n / 3), false, bound, 2),
        bound)
        << n;
  }
}

// A number kept in its transforms: products by it of every set of primes' sizes, with operands
// of long runs of ones and short ones, against plain integers; a product by another number or at
// another size is not taken from it.
TEST(WrappedProducts, ByAKeptOperandAgreeWithTheFullProduct) {
  if (kept_operand_bytes(wrapped_size(WRAPPED_TRANSFORM_MIN_LIMBS), WRAPPED_TRANSFORM_MIN_LIMBS) ==
      0) {
    GTEST_SKIP() << "no FFT in this build or on this processor";
  }
  std::mt19937_64 rng(85);
  for (mp_size_t wanted = WRAPPED_TRANSFORM_MIN_LIMBS; wanted < 250000; wanted = wanted * 7 / 4) {
    const mp_size_t n = wrapped_size(wanted);
    const std::vector<mp_limb_t> b = random_limbs(rng, n / 2 + 1);
    const auto bn = static_cast<mp_size_t>(b.size());
    KeptOperand kept;
    ASSERT_TRUE(keep_operand(&kept, n, b.data(), bn)) << n;
    ASSERT_EQ(kept.bytes, kept_operand_bytes(n, bn));
    std::vector<mp_limb_t> ones(static_cast<std::size_t>(n), ~mp_limb_t{0});
    ones[0] -= 1;  // (B^n - 1 itself has a residue of zero, which may come out as B^n - 1)
    std::vector<mp_limb_t> sum(n + WRAPPED_FFT_EXTRA_LIMBS);
    for (const std::vector<mp_limb_t>& a :
         {ones, random_limbs(rng, n), random_limbs(rng, n - n / 3), random_limbs(rng, bn)}) {
      const auto an = static_cast<mp_size_t>(a.size());
      ASSERT_TRUE(wrapped_by_kept_fft(sum.data(), n, a.data(), an, b.data(), bn, kept)) << n;
      expect_product_by_kept(n, a, b, kept);
    }
    const std::vector<mp_limb_t> other = b;
    EXPECT_FALSE(wrapped_by_kept_fft(sum.data(), n, ones.data(), n, other.data(), bn, kept));
    EXPECT_FALSE(wrapped_by_kept_fft(sum.data(), n, ones.data(), n, b.data(), bn - 1, kept));
    const mp_size_t larger = wrapped_size(n + 1);
    std::vector<mp_limb_t> longer(static_cast<std::size_t>(larger), 1);
    EXPECT_FALSE(
        wrapped_by_kept_fft(sum.data(), larger, longer.data(), larger, b.data(), bn, kept));
    release_kept_operand(&kept);
  }
  release_product_scratch();
}

// One kept number shared by two threads multiplying by it at once, each against plain integers.
TEST(WrappedProductsTwoThreads, ByOneKeptOperandOnBothThreads) {
  if (kept_operand_bytes(wrapped_size(WRAPPED_TRANSFORM_MIN_LIMBS), WRAPPED_TRANSFORM_MIN_LIMBS) ==
      0) {
    GTEST_SKIP() << "no FFT in this build or on this processor";
  }
  std::mt19937_64 rng(86);
  const mp_size_t n = wrapped_size(30000);
  const std::vector<mp_limb_t> b = random_limbs(rng, n / 2);
  KeptOperand kept;
  ASSERT_TRUE(keep_operand(&kept, n, b.data(), static_cast<mp_size_t>(b.size())));
  auto products = [&](std::uint64_t seed) {
    std::mt19937_64 own_rng(seed);
    mpz_t za, zb, expected, got;
    mpz_inits(za, zb, expected, got, nullptr);
    limbs_to_mpz(zb, b.data(), b.size());
    for (int round = 0; round < 6; ++round) {
      const std::vector<mp_limb_t> a = random_limbs(own_rng, n - own_rng() % (n / 2));
      std::vector<mp_limb_t> r(n + WRAPPED_FFT_EXTRA_LIMBS), scratch(wrapped_scratch_limbs(n));
      wrapped_multiply(r.data(), n, a.data(), static_cast<mp_size_t>(a.size()), b.data(),
                       static_cast<mp_size_t>(b.size()), scratch.data(), &kept);
      limbs_to_mpz(za, a.data(), a.size());
      limbs_to_mpz(got, r.data(), static_cast<std::size_t>(n));
      residue(expected, za, zb, n);
      EXPECT_EQ(mpz_cmp(got, expected), 0) << "n=" << n << " an=" << a.size();
    }
    mpz_clears(za, zb, expected, got, nullptr);
    release_product_scratch();
  };
  std::thread other(products, 87);
  products(88);
  other.join();
  release_kept_operand(&kept);
}

// Each thread's transforms are its own: two threads at once, each against plain integers.
TEST(WrappedProductsTwoThreads, WholeTransformsOnTwoThreadsAtOnce) {
  auto products = [](std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    for (int round = 0; round < 8; ++round) {
      const mp_size_t n =
          wrapped_size(static_cast<mp_size_t>(WRAPPED_TRANSFORM_MIN_LIMBS + rng() % 40000));
      expect_wrapped_products(n, random_limbs(rng, n), random_limbs(rng, n / 2 + 1));
    }
    release_product_scratch();
  };
  std::thread other(products, 82);
  products(83);
  other.join();
}

// Under a scratch bound that splits them: in slices, in halves, and beyond the halvings the
// folded product takes (GMP's own then).
TEST(WrappedProducts, FromTheFftInPartsUnderASmallScratchBound) {
  set_product_bounds({fft_scratch_bytes(7000), true, true});
  std::mt19937_64 rng(79);
  for (const mp_size_t wanted : {12000, 30000}) {
    const mp_size_t n = wrapped_size(wanted);
    for (const mp_size_t bn : {n / 4, n / 2}) {
      expect_wrapped_products(n, random_limbs(rng, n), random_limbs(rng, bn));
    }
  }
  release_product_scratch();
  set_product_bounds({});
}

// Operands of the full length, near B^n, at a size the FFT takes: the product's upper half is
// nearly B^n too, so the folds carry round the end.
TEST(WrappedProducts, FullLengthOperandsCarryRoundTheEnd) {
  std::mt19937_64 rng(78);
  const mp_size_t n = wrapped_size(30000);
  for (int round = 0; round < 3; ++round) {
    std::vector<mp_limb_t> a = random_limbs(rng, n), b = random_limbs(rng, n);
    a.back() = b.back() = ~mp_limb_t{0};
    expect_wrapped_products(n, a, b);
  }
}

// The middle product r of u and v: with L the terms below limb vn - 1, summed here limb by limb of
// v (L = sum over j of (u mod B^(vn-1-j)) v_j B^j), u v - L - r B^(vn-1) is the terms from limb un
// up: at least zero and a multiple of B^un.
void expect_middle_product(const std::vector<mp_limb_t>& u, const std::vector<mp_limb_t>& v) {
  const auto un = static_cast<mp_size_t>(u.size());
  const auto vn = static_cast<mp_size_t>(v.size());
  std::vector<mp_limb_t> r(un - vn + 3);
  middle_product(r.data(), u.data(), un, v.data(), vn);
  mpz_t zu, zv, rest, lower, part;
  mpz_inits(zu, zv, rest, lower, part, nullptr);
  limbs_to_mpz(zu, u.data(), u.size());
  limbs_to_mpz(zv, v.data(), v.size());
  mpz_mul(rest, zu, zv);
  for (mp_size_t j = 0; j + 1 < vn; ++j) {
    limbs_to_mpz(part, u.data(), static_cast<std::size_t>(vn - 1 - j));
    mpz_mul_ui(part, part, v[j]);
    mpz_mul_2exp(part, part, 64 * j);
    mpz_add(lower, lower, part);
  }
  mpz_sub(rest, rest, lower);
  limbs_to_mpz(part, r.data(), r.size());
  mpz_mul_2exp(part, part, 64 * (vn - 1));
  mpz_sub(rest, rest, part);
  EXPECT_GE(mpz_sgn(rest), 0) << "un=" << un << " vn=" << vn;
  EXPECT_TRUE(mpz_divisible_2exp_p(rest, 64 * un)) << "un=" << un << " vn=" << vn;
  mpz_clears(zu, zv, rest, lower, part, nullptr);
}

TEST(MiddleProducts, AreTheProductsLimbsFromTheShorterOperandsLengthUp) {
  if (!middle_product_quicker(1)) GTEST_SKIP() << "this GMP has no middle product";
  std::mt19937_64 rng(81);
  for (const mp_size_t un : {1, 2, 5, 40, 333, 999, 2500}) {
    for (const mp_size_t vn : {mp_size_t{1}, un / 2 + 1, un}) {
      expect_middle_product(random_limbs(rng, un), random_limbs(rng, vn));
      // All ones: the terms left out are at their largest and every carry travels.
      expect_middle_product(std::vector<mp_limb_t>(un, ~mp_limb_t{0}),
                            std::vector<mp_limb_t>(vn, ~mp_limb_t{0}));
    }
  }
}

// floor(frac(sqrt(2)) B^count), exactly.
void exact_fraction(mpz_t fraction, std::size_t count) {
  mpz_set_ui(fraction, 0);
  mpz_setbit(fraction, 128 * count + 1);
  mpz_sqrt(fraction, fraction);
  mpz_clrbit(fraction, 64 * count);
}

// Whether the exact fraction's truncation lies in [f, f + error).
bool encloses(const BoundedFraction& fraction) {
  mpz_t exact, low;
  mpz_inits(exact, low, nullptr);
  exact_fraction(exact, fraction.count);
  limbs_to_mpz(low, fraction.limbs, fraction.count);
  bool inside = mpz_cmp(low, exact) <= 0;
  mpz_add_ui(low, low, fraction.error);
  inside = inside && mpz_cmp(exact, low) < 0;
  mpz_clears(exact, low, nullptr);
  return inside;
}

struct EarlyFractions {
  std::vector<BoundedFraction> by_level{std::vector<BoundedFraction>(8)};
  std::vector<unsigned> order;
};

void keep_early(void* context, unsigned level, BoundedFraction early) {
  EarlyFractions* kept = static_cast<EarlyFractions*>(context);
  kept->by_level.at(level) = early;
  kept->order.push_back(level);
}

TEST(BinaryRoot, EnclosesTheRootAndEachEarlyFractionWithASmallBound) {
  for (std::size_t count : {2u, 3u, 5u, 17u, 64u, 1000u, 54321u}) {
    std::vector<std::size_t> all_levels;
    for (std::size_t early = count - 1; early >= 1 && all_levels.size() < 7;
         early = early * 2 / 3) {
      all_levels.push_back(early);
    }
    for (unsigned levels : {0u, 1u, static_cast<unsigned>(all_levels.size())}) {
      if (levels > all_levels.size()) continue;
      BoundedFraction root;
      EarlyFractions early;
      ASSERT_EQ(binary_root(count, all_levels.data(), levels, keep_early, &early, &root),
                RootStatus::PROVEN)
          << count;
      EXPECT_EQ(root.count, count);
      EXPECT_LE(root.error, 4u) << count;
      EXPECT_TRUE(encloses(root)) << count << " " << levels;
      ASSERT_EQ(early.order.size(), levels);
      for (unsigned k = 0; k < levels; ++k) {
        EXPECT_EQ(early.order[k], levels - k);  // the deepest first
        const BoundedFraction& fraction = early.by_level[k + 1];
        EXPECT_EQ(fraction.count, all_levels[k]);
        EXPECT_TRUE(encloses(fraction)) << count << " level " << k + 1;
      }
      release_fraction(&root);
      for (BoundedFraction& fraction : early.by_level) release_fraction(&fraction);
    }
  }
}

// The first `places` decimals of the fraction {limbs, count} B^-count.
std::string fraction_digits(const std::vector<mp_limb_t>& limbs, std::uint64_t places) {
  mpz_t value, power;
  mpz_inits(value, power, nullptr);
  limbs_to_mpz(value, limbs.data(), limbs.size());
  mpz_ui_pow_ui(power, 10, places);
  mpz_mul(value, value, power);
  mpz_fdiv_q_2exp(value, value, 64 * limbs.size());
  std::vector<char> text(mpz_sizeinbase(value, 10) + 2);
  mpz_get_str(text.data(), 10, value);
  mpz_clears(value, power, nullptr);
  std::string digits = text.data();
  if (digits == "0") digits.clear();
  return std::string(places - digits.size(), '0') + digits;
}

struct Conversion {
  PieceStatus status;
  std::string digits;
  std::size_t kept_bytes = 0;  // of the powers kept at the end
};

// Converts the fraction `limbs` (standing for a value in [f, f + error) B^-count) on `threads`
// threads through a queue, as the route does, keeping powers within `kept_bytes`.
Conversion convert(const std::vector<mp_limb_t>& limbs, std::uint64_t error, std::uint64_t places,
                   unsigned threads, std::size_t kept_bytes = 0) {
  PowerTable powers;
  EXPECT_TRUE(build_powers(places, &powers));
  ConversionQueue queue;
  queue.powers = &powers;
  queue.kept_powers.most_bytes = kept_bytes;
  std::string out(places, '?');
  DecimalPiece whole;
  whole.fraction.limbs = static_cast<mp_limb_t*>(std::malloc(limbs.size() * sizeof(mp_limb_t)));
  std::memcpy(whole.fraction.limbs, limbs.data(), limbs.size() * sizeof(mp_limb_t));
  whole.fraction.count = limbs.size();
  whole.fraction.error = error;
  whole.places = places;
  whole.out.chars = out.data();
  queue_hold(&queue);
  std::thread helper;
  if (threads == 2)
    helper = std::thread([&queue] {
      convert_queued(&queue, ConversionProgress{});
      release_product_scratch();  // a thread's FFT scratch goes with it
    });
  convert_piece(&queue, whole, ConversionProgress{});
  convert_queued(&queue, ConversionProgress{});
  if (helper.joinable()) helper.join();
  const std::size_t kept = queue.kept_powers.bytes.load();
  EXPECT_LE(kept, kept_bytes);
  release_powers(&powers);
  EXPECT_EQ(queue.waiting_count, 0u);
  queue_release(&queue);
  if (queue.status.load() == PieceStatus::DONE) {
    EXPECT_EQ(queue.digits_done.load(), places);
  }
  return {queue.status.load(), out, kept};
}

class DecimalPieces : public ::testing::TestWithParam<unsigned> {};

TEST_P(DecimalPieces, GiveTheDigitsOfTheirFraction) {
  std::mt19937_64 rng(2024);
  for (std::uint64_t places : {1u, 18u, 19u, 20u, 399u, 400u, 401u, 402u, 799u, 800u, 801u, 1603u,
                               5000u, 12345u, 100003u}) {
    std::vector<mp_limb_t> limbs = random_limbs(rng, piece_limbs(places));
    Conversion result = convert(limbs, 1, places, GetParam());
    ASSERT_EQ(result.status, PieceStatus::DONE) << places;
    ASSERT_EQ(result.digits, fraction_digits(limbs, places)) << places;
  }
}

// With the levels' powers kept in their transforms (all that fit a generous bound, or, for a
// whole large enough to keep any within the routes' own bound, the smaller levels'), the same
// digits.
TEST_P(DecimalPieces, GiveTheSameDigitsWithTheirPowersKept) {
  if (kept_operand_bytes(wrapped_size(WRAPPED_TRANSFORM_MIN_LIMBS), WRAPPED_TRANSFORM_MIN_LIMBS) ==
      0) {
    GTEST_SKIP() << "no FFT in this build or on this processor";
  }
  std::mt19937_64 rng(2025);
  for (std::uint64_t places : {60013u, 400000u, 3000017u}) {
    std::vector<mp_limb_t> limbs = random_limbs(rng, piece_limbs(places));
    const std::string expected = fraction_digits(limbs, places);
    std::vector<std::size_t> bounds{std::size_t{1} << 30};
    if (places > 2000000) bounds.push_back(kept_powers_bytes(places));
    for (std::size_t bound : bounds) {
      Conversion result = convert(limbs, 1, places, GetParam(), bound);
      ASSERT_EQ(result.status, PieceStatus::DONE) << places;
      EXPECT_GT(result.kept_bytes, 0u) << places << " within " << bound;
      EXPECT_EQ(result.digits, expected) << places << " within " << bound;
    }
  }
}

// A fraction just below a value whose decimals end at `cut` (then zeros): the digits before the cut
// differ across [f, f + error), and the conversion must say so rather than give either.
TEST_P(DecimalPieces, ReportDoubtWhenTheBoundStraddlesADigitBoundary) {
  std::mt19937_64 rng(99);
  for (std::uint64_t places : {40u, 400u, 1000u, 9999u, 60000u}) {
    for (std::uint64_t cut : {places, places / 2 + 1, places / 3, std::uint64_t{1}}) {
      const std::size_t count = piece_limbs(places);
      mpz_t value, power;
      mpz_inits(value, power, nullptr);
      for (std::uint64_t i = 0; i < cut; ++i) {
        mpz_mul_ui(value, value, 10);
        mpz_add_ui(value, value, 1 + rng() % 9);
      }
      mpz_ui_pow_ui(power, 10, cut);
      mpz_mul_2exp(value, value, 64 * count);
      mpz_cdiv_q(value, value, power);  // ceil(y B^count)
      mpz_sub_ui(value, value, 1);      // just below y
      std::vector<mp_limb_t> limbs(count, 0);
      mpz_export(limbs.data(), nullptr, -1, sizeof(mp_limb_t), 0, 0, value);
      mpz_clears(value, power, nullptr);
      Conversion result = convert(limbs, 2, places, GetParam());
      EXPECT_EQ(result.status, PieceStatus::DOUBTFUL) << places << " cut at " << cut;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Threads, DecimalPieces, ::testing::Values(1u, 2u),
                         [](const ::testing::TestParamInfo<unsigned>& info) {
                           return info.param == 1 ? std::string("OneThread")
                                                  : std::string("TwoThreads");
                         });

}  // namespace
