// Products against GMP's own, on both sides of the FFT's crossover, in every shape the routes
// give them: balanced and unbalanced, signed, aliased, squared, with long runs of zero or all-one
// limbs, from two threads at once and inside a memory arena.
#include <gtest/gtest.h>

#include <random>
#include <thread>
#include <vector>

#include "products/memory_arena.h"
#include "products/product.h"
#include "products/product_tuning.h"

namespace {

enum class Fill { RANDOM, ZERO_RUNS, ONE_RUNS };

// A number of `limbs` limbs (the top one non-zero) of the given fill, and of the given sign.
void make(mpz_t x, mp_size_t limbs, Fill fill, bool negative, std::mt19937_64& rng) {
  mp_limb_t* words = mpz_limbs_write(x, limbs);
  for (mp_size_t i = 0; i < limbs; ++i) {
    const bool in_run = (i / 97) % 3 == 1;  // a run of 97 limbs in every 291
    switch (fill) {
      case Fill::RANDOM:
        words[i] = rng();
        break;
      case Fill::ZERO_RUNS:
        words[i] = in_run ? 0 : rng();
        break;
      case Fill::ONE_RUNS:
        words[i] = in_run ? ~mp_limb_t{0} : rng();
        break;
    }
  }
  words[limbs - 1] |= 1;
  mpz_limbs_finish(x, negative ? -limbs : limbs);
}

// Checks multiply and multiply_add for operands of `an` and `bn` limbs against mpz_mul: into a
// number of their own, added to a shorter and a longer one, into an operand's place, and a's
// square.
void expect_gmps_product(mp_size_t an, mp_size_t bn, Fill fill, std::mt19937_64& rng) {
  mpz_t a, b, r, expected, sum;
  mpz_inits(a, b, r, expected, sum, nullptr);
  make(a, an, fill, rng() % 2 == 0, rng);
  make(b, bn, fill, rng() % 2 == 0, rng);
  mpz_mul(expected, a, b);
  multiply(r, a, b);
  EXPECT_EQ(mpz_cmp(r, expected), 0) << an << " x " << bn;
  mpz_set_si(sum, -12345);
  multiply_add(sum, a, b);
  mpz_add_ui(sum, sum, 12345);
  EXPECT_EQ(mpz_cmp(sum, expected), 0) << an << " x " << bn << " added";
  // Added to a number longer than the product (all ones, so that the carries run).
  mpz_set_ui(sum, 1);
  mpz_mul_2exp(sum, sum, static_cast<mp_bitcnt_t>(an + bn + 4) * GMP_NUMB_BITS);
  mpz_sub_ui(sum, sum, 1);
  mpz_add(r, sum, expected);
  multiply_add(sum, a, b);
  EXPECT_EQ(mpz_cmp(sum, r), 0) << an << " x " << bn << " added to a longer number";
  mpz_set(r, b);
  multiply(r, a, r);
  EXPECT_EQ(mpz_cmp(r, expected), 0) << an << " x " << bn << " in b's place";
  mpz_mul(expected, a, a);
  mpz_add(expected, expected, a);
  mpz_set(r, a);
  multiply_add(r, r, r);
  EXPECT_EQ(mpz_cmp(r, expected), 0) << an << " squared and added to itself";
  mpz_clears(a, b, r, expected, sum, nullptr);
}

TEST(Products, EqualGmpsAcrossTheCrossoverInEveryShape) {
  std::mt19937_64 rng(2026);
  const mp_size_t c = FFT_PRODUCT_MIN_LIMBS;
  const std::vector<std::pair<mp_size_t, mp_size_t>> shapes = {
      {1, 1},      {5, 3},       {c - 1, c - 1}, {c, c},         {c + 1, c},  {3 * c, c - 1},
      {20 * c, c}, {7001, 7001}, {40000, 2000},  {65536, 65536}, {100003, 31}};
  for (const auto& [an, bn] : shapes) {
    for (const Fill fill : {Fill::RANDOM, Fill::ZERO_RUNS, Fill::ONE_RUNS}) {
      expect_gmps_product(an, bn, fill, rng);
      expect_gmps_product(bn, an, fill, rng);
    }
  }
  for (int round = 0; round < 40; ++round) {
    const mp_size_t an = 1 + static_cast<mp_size_t>(rng() % (8 * c));
    const mp_size_t bn = 1 + static_cast<mp_size_t>(rng() % an);
    expect_gmps_product(an, bn, Fill::RANDOM, rng);
  }
}

// Under a small scratch bound the products pass it in slices and Karatsuba's halves, odd sizes
// and lopsided ones included, and go to GMP where more halvings would be needed.
TEST(Products, SplitIntoPartsWithinTheScratchBound) {
  constexpr mp_size_t fitting = 3000;  // the largest product the bound lets through whole
  set_product_bounds({fft_scratch_bytes(fitting), true});
  std::mt19937_64 rng(5);
  const std::vector<std::pair<mp_size_t, mp_size_t>> shapes = {
      {1500, 1501},   {1600, 1599},   {2999, 2001},  {3001, 3000}, {5999, 5997},
      {6003, 900},    {40001, 1200},  {30011, 1777}, {9000, 8999}, {12001, 12001},
      {11000, 10500}, {40000, 40000}, {9, 40000}};
  for (const auto& [an, bn] : shapes) {
    for (const Fill fill : {Fill::RANDOM, Fill::ONE_RUNS}) expect_gmps_product(an, bn, fill, rng);
  }
  if (fft_takes(fitting / 2, fitting / 2)) {
    EXPECT_TRUE(fft_takes(11000, 10500)) << "three halvings";
    EXPECT_FALSE(fft_takes(40000, 40000)) << "four halvings: GMP's";
    // A thread's own bound is its alone, until it gives it back.
    set_thread_alone(fft_scratch_bytes(8000), 1);
    EXPECT_TRUE(fft_takes_whole(4000, 3999)) << "the thread's own bound";
    std::thread other([] { EXPECT_FALSE(fft_takes_whole(4000, 3999)) << "another thread's"; });
    other.join();
    end_thread_alone();
    EXPECT_FALSE(fft_takes_whole(4000, 3999)) << "the common bound again";
    set_product_bounds({fft_scratch_bytes(fitting), false});
    EXPECT_FALSE(fft_takes(3001, 3000)) << "not split";
  }
  set_product_bounds({});
}

// The arena's use by a b (of equal lengths) under the bounds set, in an arena of `bytes` and room
// for small chunks that holds nothing else; the product checked against GMP's, and the bounds set
// back to the defaults.
ArenaUse arena_use_of_product(const std::vector<mp_limb_t>& a, const std::vector<mp_limb_t>& b,
                              std::size_t bytes) {
  const auto n = static_cast<mp_size_t>(a.size());
  std::vector<mp_limb_t> product(2 * a.size()), expected(2 * a.size());
  EXPECT_TRUE(arena_reserve(bytes + (64 << 10)));
  multiply_limbs(product.data(), a.data(), n, b.data(), n);
  release_product_scratch();
  const ArenaUse use = arena_use();
  arena_release();
  set_product_bounds({});
  mpn_mul_n(expected.data(), a.data(), b.data(), n);
  EXPECT_EQ(product, expected);
  return use;
}

// A split product's FFT scratch and parts come from the arena, within what the model counts.
TEST(Products, SplitProductsStayWithinTheirModel) {
  constexpr mp_size_t n = 60000;  // three halvings under this bound
  const ProductBounds bounds{fft_scratch_bytes(20000), true};
  set_product_bounds(bounds);
  if (!fft_takes(n, n)) {
    set_product_bounds({});
    GTEST_SKIP() << "GMP's products alone, whose scratch is GMP's own";
  }
  std::mt19937_64 rng(8);
  std::vector<mp_limb_t> a(n), b(n);
  for (auto& limb : a) limb = rng();
  for (auto& limb : b) limb = rng();
  const ArenaUse use = arena_use_of_product(a, b, product_scratch_bytes(bounds, 1, 2 * n));
  EXPECT_EQ(use.overflows, 0u);
  EXPECT_GT(use.high_water, std::size_t{2 * n * sizeof(mp_limb_t)});
}

// Products the bound would split past the halvings allowed, or into many parts, go to the whole
// transforms where the route's share lets them: every shape and fill, products that fill all but
// one limb of the transforms' size and squares; from the arena within the share. Past the share,
// the parts or GMP's as before.
TEST(Products, PastTheBoundWholeTransformsWithinTheirShare) {
  // (the whole transforms' sizes for a shorter operand of half the limbs, read under the default
  // bound, which lets them take these)
  std::vector<std::pair<mp_size_t, mp_size_t>> sizes;
  for (const mp_size_t wanted : {50000, 80000, 120000}) {
    sizes.emplace_back(wrapped_fft_size(wanted, false, wanted / 2), wanted / 2);
  }
  ProductBounds bounds{fft_scratch_bytes(3000), true};
  bounds.whole_transforms_bytes = std::size_t{6} << 20;
  set_product_bounds(bounds);
  if (!fft_takes(40000, 40000)) {
    set_product_bounds({});
    GTEST_SKIP() << "GMP's products alone";
  }
  EXPECT_FALSE(fft_takes(200000, 200000)) << "past the share: four halvings, GMP's";
  std::mt19937_64 rng(12);
  const std::vector<std::pair<mp_size_t, mp_size_t>> shapes = {
      {40000, 40000}, {60001, 20011}, {90001, 3001}, {30011, 29989}, {200000, 200000}};
  for (const auto& [an, bn] : shapes) {
    for (const Fill fill : {Fill::RANDOM, Fill::ZERO_RUNS, Fill::ONE_RUNS}) {
      expect_gmps_product(an, bn, fill, rng);
    }
  }
  // The transforms' size is the first they take above the product's limbs: products of one limb
  // fewer than such a size, whose last coefficients reach the transforms' end, and of as many.
  for (const auto& [size, shorter] : sizes) {
    ASSERT_GT(size, 0);
    for (const mp_size_t limbs : {size - 1, size}) {
      expect_gmps_product(limbs - shorter, shorter, Fill::ONE_RUNS, rng);
    }
  }
  constexpr mp_size_t n = 50000;
  std::vector<mp_limb_t> a(n, ~mp_limb_t{0}), b(n);
  for (auto& limb : b) limb = rng();
  const ArenaUse use = arena_use_of_product(a, b, bounds.whole_transforms_bytes);
  EXPECT_EQ(use.overflows, 0u);
  EXPECT_GT(use.high_water, bounds.fft_scratch_bytes);
}

// A thread alone may run the FFT on two threads (its own and FLINT's): the same products, within
// a bound that counts the two threads' larger scratch, and from the arena within the model.
TEST(ProductsTwoThreads, AThreadAloneMultipliesOnBothWithinItsBound) {
  const ProductBounds alone{fft_scratch_bytes(60000), true};
  set_product_bounds({fft_scratch_bytes(3000), true});
  set_thread_alone(alone.fft_scratch_bytes, 2);
  if (!fft_takes(FFT_PRODUCT_MIN_LIMBS, FFT_PRODUCT_MIN_LIMBS)) {
    end_thread_alone();
    set_product_bounds({});
    GTEST_SKIP() << "GMP's products alone";
  }
  EXPECT_TRUE(fft_takes_whole(24000, 24000));
  EXPECT_FALSE(fft_takes_whole(29000, 29000)) << "within one thread's scratch, not two threads'";
  std::mt19937_64 rng(13);
  const std::vector<std::pair<mp_size_t, mp_size_t>> shapes = {
      {7001, 7001}, {30000, 29999}, {59000, 1000}, {100000, 99999}};
  for (const auto& [an, bn] : shapes) {
    for (const Fill fill : {Fill::RANDOM, Fill::ONE_RUNS}) expect_gmps_product(an, bn, fill, rng);
  }
  constexpr mp_size_t n = 100000;  // in parts of two halvings
  std::vector<mp_limb_t> a(n), b(n), product(2 * n), expected(2 * n);
  for (auto& limb : a) limb = rng();
  for (auto& limb : b) limb = rng();
  release_product_scratch();
  ASSERT_TRUE(arena_reserve(product_scratch_bytes(alone, 1, 2 * n) + (64 << 10)));
  multiply_limbs(product.data(), a.data(), n, b.data(), n);
  release_product_scratch();
  const ArenaUse use = arena_use();
  arena_release();
  EXPECT_EQ(use.overflows, 0u);
  mpn_mul_n(expected.data(), a.data(), b.data(), n);
  EXPECT_EQ(product, expected);
  end_thread_alone();
  EXPECT_FALSE(fft_takes_whole(24000, 24000)) << "the common bound again";
  set_product_bounds({});
}

// Whichever of FLINT's sets of primes a product takes, its scratch stays within what the model
// counts for it, on one thread and on two: products of many shapes, each alone in an arena that
// holds nothing else, against GMP's; a third of them of all-one limbs, whose coefficients are the
// largest the primes must hold.
TEST(ProductsTwoThreads, EverySetOfPrimesWithinTheScratchModel) {
  if (!fft_takes(FFT_PRODUCT_MIN_LIMBS, FFT_PRODUCT_MIN_LIMBS))
    GTEST_SKIP() << "GMP's products alone";
  std::mt19937_64 rng(21);
  for (const unsigned threads : {1u, 2u}) {
    for (int round = 0; round < 24; ++round) {
      const mp_size_t an = FFT_PRODUCT_MIN_LIMBS + static_cast<mp_size_t>(rng() % 150000);
      const mp_size_t bn =
          round % 3 == 0 ? an
                         : FFT_PRODUCT_MIN_LIMBS +
                               static_cast<mp_size_t>(rng() % (an - FFT_PRODUCT_MIN_LIMBS + 1));
      std::vector<mp_limb_t> a(an), b(bn), product(an + bn), expected(an + bn);
      for (auto& limb : a) limb = round % 3 == 1 ? ~mp_limb_t{0} : rng();
      for (auto& limb : b) limb = round % 3 == 1 ? ~mp_limb_t{0} : rng();
      const std::size_t model = fft_scratch_bytes(static_cast<std::size_t>(an + bn), threads);
      ASSERT_TRUE(arena_reserve(2 * model));
      set_thread_alone(model, threads);
      ASSERT_TRUE(fft_takes_whole(an, bn));
      multiply_limbs(product.data(), a.data(), an, b.data(), bn);
      const ArenaUse use = arena_use();
      end_thread_alone();
      release_product_scratch();
      arena_release();
      EXPECT_LE(use.high_water, model) << an << " x " << bn << " on " << threads;
      EXPECT_EQ(use.overflows, 0u);
      mpn_mul(expected.data(), a.data(), an, b.data(), bn);
      EXPECT_EQ(product, expected) << an << " x " << bn << " on " << threads;
    }
  }
}

// A processor without AVX2 or without FMA gets GMP's products, with the same results, and nothing
// of FLINT's runs (no FFT scratch is taken); the processor's own features choose again after.
TEST(Products, TheFftOnlyOnAProcessorWithAvx2AndFma) {
  // GMP multiplies a long operand by slices of the short one's length, with scratch to match.
  constexpr mp_size_t an = 80000, bn = 2000;
  std::mt19937_64 rng(9);
  std::vector<mp_limb_t> a(an), b(bn), product(an + bn), expected(an + bn);
  for (auto& limb : a) limb = rng();
  for (auto& limb : b) limb = rng();
  mpn_mul(expected.data(), a.data(), an, b.data(), bn);
  // The arena's high water for one product, whose scratch is all it holds.
  auto product_high_water = [&] {
    EXPECT_TRUE(arena_reserve(std::size_t{64} << 20));
    multiply_limbs(product.data(), a.data(), an, b.data(), bn);
    release_product_scratch();
    const std::size_t high_water = arena_use().high_water;
    arena_release();
    EXPECT_EQ(product, expected);
    return high_water;
  };
  for (const ProcessorFeatures lacking :
       {ProcessorFeatures{false, true}, ProcessorFeatures{true, false}, ProcessorFeatures{}}) {
    EXPECT_FALSE(choose_fft_products(lacking)) << lacking.avx2 << lacking.fma;
    EXPECT_FALSE(fft_takes(an, bn));
    EXPECT_LT(product_high_water(), fft_scratch_bytes(an + bn) / 4)
        << "GMP's scratch is about the short operand's size, the FFT's several times the product";
    expect_gmps_product(an, bn, Fill::ONE_RUNS, rng);
  }
  const ProcessorFeatures here = processor_features();
  const bool fft = choose_fft_products(here);
  EXPECT_TRUE(!fft || (here.avx2 && here.fma));
  EXPECT_EQ(fft_takes(an, bn), fft);
  if (fft) {
    EXPECT_GT(product_high_water(), fft_scratch_bytes(an + bn) / 4);
  }
  expect_gmps_product(an, bn, Fill::ONE_RUNS, rng);
  release_product_scratch();
}

// Each thread has its FFT scratch of its own; releasing it leaves the next product as right.
TEST(Products, OnTwoThreadsAtOnce) {
  auto products = [](std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    for (int round = 0; round < 6; ++round) {
      const mp_size_t an = FFT_PRODUCT_MIN_LIMBS + static_cast<mp_size_t>(rng() % 30000);
      expect_gmps_product(an, an / 2 + 1, Fill::RANDOM, rng);
      if (round == 2) release_product_scratch();
    }
    release_product_scratch();
  };
  std::thread other(products, 11);
  products(12);
  other.join();
}

// Inside an arena the FFT's memory comes from the region, like GMP's, and is all given back.
TEST(Products, FftScratchComesFromTheArena) {
  ASSERT_TRUE(arena_reserve(std::size_t{256} << 20));
  std::mt19937_64 rng(3);
  expect_gmps_product(80000, 40000, Fill::RANDOM, rng);
  release_product_scratch();
  EXPECT_EQ(arena_use().overflows, 0u);
  if (fft_takes(80000, 40000)) {
    // 240,000 limbs of operands and product take 1.9 MB; the FFT's buffer is several times that.
    EXPECT_GT(arena_use().high_water, std::size_t{5} << 20);
  }
  arena_trim();
  void* whole = arena_allocate((std::size_t{256} << 20) - 4096);
  EXPECT_NE(whole, nullptr) << "every chunk of the products was given back";
  arena_free(whole);
  EXPECT_EQ(arena_use().overflows, 0u);
  arena_release();
}

}  // namespace
