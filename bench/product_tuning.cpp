// Where FLINT's FFT overtakes GMP's product: both timed on the same random operands, balanced and
// 8:1, each figure the best of several runs, one thread. The crossover kept in
// products/product_tuning.h is the smallest size from which the FFT is quicker for every size
// measured above it. Then the division through Newton's reciprocal against GMP's, for dividends
// two, six and forty times as long as the divisor (the block engine's node divisions divide the
// whole term by a block's part).
//
//   build/bench/product_tuning [largest limbs]   (default 1000000)
#include <gmp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "products/division.h"
#include "products/fft_product.h"
#include "products/middle_product.h"
#include "products/product.h"
#include "products/product_tuning.h"
#include "products/wrapped_product.h"

namespace {

template <typename Product>
double best_seconds(Product product, double budget) {
  double best = 1e30, spent = 0;
  for (int run = 0; run < 3 || (spent < budget && run < 50); ++run) {
    const auto start = std::chrono::steady_clock::now();
    product();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    best = std::min(best, seconds);
    spent += seconds;
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const long largest = argc > 1 ? std::atol(argv[1]) : 1000000;
  if (!choose_fft_products(processor_features())) {
    std::printf("this processor has no AVX2 and FMA: GMP's products only\n");
    return 0;
  }
  std::mt19937_64 rng(1);
  std::printf("%10s %6s %12s %12s %8s %s\n", "limbs", "shape", "GMP ms", "FFT ms", "ratio",
              "products");
  long crossover = 0;
  for (long n = 250; n <= largest; n = n * 3 / 2) {
    for (const long ratio : {1L, 8L}) {
      const long an = n * ratio, bn = n;
      std::vector<mp_limb_t> a(an), b(bn), gmp(an + bn), fft(an + bn);
      for (auto& limb : a) limb = rng();
      for (auto& limb : b) limb = rng();
      const double budget = 0.3;
      const double g =
          best_seconds([&] { mpn_mul(gmp.data(), a.data(), an, b.data(), bn); }, budget);
      const double f = best_seconds(
          [&] { fft_multiply(fft.data(), a.data(), an, b.data(), bn, false); }, budget);
      const bool same = gmp == fft;
      std::printf("%10ld %5ld:1 %12.3f %12.3f %7.2fx %s\n", n, ratio, g * 1e3, f * 1e3, g / f,
                  same ? "identical" : "DIFFERENT");
      if (ratio == 1) {
        if (f < g && crossover == 0) crossover = n;
        if (f >= g) crossover = 0;
      }
    }
  }
  std::printf("crossover (smaller operand's limbs): %ld\n", crossover);

  // Balanced products beyond the scratch bound: whole, then under bounds that ask for one halving
  // and more, against GMP's.
  std::printf("\n%10s %12s", "limbs", "GMP ms");
  for (unsigned k = 0; k <= KARATSUBA_MAX_LEVELS; ++k) std::printf(" %9s%u", "halved x", k);
  std::printf(" %s\n", "products");
  for (long n = 100000; n <= largest; n *= 2) {
    std::vector<mp_limb_t> a(n), b(n), gmp(2 * n), split(2 * n);
    for (auto& limb : a) limb = rng();
    for (auto& limb : b) limb = rng();
    const double g = best_seconds([&] { mpn_mul_n(gmp.data(), a.data(), b.data(), n); }, 0.0);
    std::printf("%10ld %12.1f", n, g * 1e3);
    bool same = true;
    for (unsigned k = 0; k <= KARATSUBA_MAX_LEVELS; ++k) {
      set_product_bounds({fft_scratch_bytes(static_cast<std::size_t>((2 * n >> k) + 8)), true});
      const double f =
          best_seconds([&] { multiply_limbs(split.data(), a.data(), n, b.data(), n); }, 0.0);
      same = same && split == gmp;
      std::printf(" %7.1f %3.1fx", f * 1e3, g / f);
    }
    std::printf(" %s\n", same ? "identical" : "DIFFERENT");
  }
  set_product_bounds({});

  // A fraction of n limbs times an integer of n / 2, of which the fraction part's top is wanted:
  // GMP's middle product, GMP's wrapped product (at its own size), the FFT's full product folded
  // (under the default bound on its scratch, split as the conversions split it) and the FFT's
  // whole transforms modulo B^n - 1 (at their own size, with all their scratch), and the same
  // within the least scratch they can take (one prime's transform of b at a time, where that is
  // less).
  std::printf("\n%10s %12s %12s %12s %12s %9s %9s %12s %9s\n", "limbs", "middle ms", "wrapped ms",
              "folded ms", "whole ms", "vs GMP", "vs fold", "lean ms", "vs whole");
  for (long n = 100; n <= largest; n = n * 3 / 2) {
    const long vn = n / 2;
    std::vector<mp_limb_t> a(n), b(vn), middle(n - vn + 3), full(n + vn);
    for (auto& limb : a) limb = rng();
    for (auto& limb : b) limb = rng();
    const double m =
        best_seconds([&] { middle_product(middle.data(), a.data(), n, b.data(), vn); }, 0.2);
    set_product_bounds({0, false});
    const mp_size_t gn = wrapped_size(n);
    std::vector<mp_limb_t> wrapped(gn + wrapped_scratch_limbs(gn));
    const double w = best_seconds(
        [&] {
          wrapped_multiply(wrapped.data(), gn, a.data(), n, b.data(), vn, wrapped.data() + gn);
        },
        0.2);
    set_product_bounds({FFT_SCRATCH_MAX_BYTES, true});
    const double f = best_seconds(
        [&] {
          multiply_limbs(full.data(), a.data(), n, b.data(), vn);
          mpn_copyi(wrapped.data(), full.data(), gn);
          if (mpn_add(wrapped.data(), wrapped.data(), gn, full.data() + gn, n + vn - gn) != 0) {
            mpn_add_1(wrapped.data(), wrapped.data(), gn, 1);
          }
        },
        0.2);
    set_product_bounds({std::size_t{1} << 32, true});
    const mp_size_t cn = wrapped_size(n);
    const bool whole = cn == wrapped_fft_size(n, false);
    std::vector<mp_limb_t> cyclic(cn + wrapped_scratch_limbs(cn));
    auto cyclic_product = [&] {
      wrapped_multiply(cyclic.data(), cn, a.data(), n, b.data(), vn, cyclic.data() + cn);
    };
    const double c = whole ? best_seconds(cyclic_product, 0.2) : 0;
    double l = 0;
    if (whole) {
      set_thread_alone(fft_wrapped_scratch_bytes(cn, false, 0), 1);
      l = best_seconds(cyclic_product, 0.2);
      end_thread_alone();
    }
    set_product_bounds({});
    if (whole) {
      std::printf("%10ld %12.3f %12.3f %12.3f %12.3f %8.2fx %8.2fx %12.3f %8.2fx (n %ld)\n", n,
                  m * 1e3, w * 1e3, f * 1e3, c * 1e3, w / c, f / c, l * 1e3, c / l,
                  static_cast<long>(cn));
    } else {
      std::printf("%10ld %12.3f %12.3f %12.3f %12s\n", n, m * 1e3, w * 1e3, f * 1e3, "-");
    }
  }

  std::printf("\n%10s %6s %12s %12s %8s %s\n", "d limbs", "x / d", "GMP ms", "Newton ms", "ratio",
              "results");
  gmp_randstate_t random;
  gmp_randinit_default(random);
  for (long n = 1000; n <= largest / 2; n *= 2) {
    for (const long times : {2L, 6L, 40L}) {
      mpz_t x, d, q, r, gq, gr;
      mpz_inits(x, d, q, r, gq, gr, nullptr);
      mpz_urandomb(d, random, static_cast<mp_bitcnt_t>(n) * GMP_NUMB_BITS);
      mpz_setbit(d, static_cast<mp_bitcnt_t>(n) * GMP_NUMB_BITS - 1);
      mpz_urandomb(x, random, static_cast<mp_bitcnt_t>(n * times) * GMP_NUMB_BITS);
      const double g = best_seconds([&] { mpz_tdiv_qr(gq, gr, x, d); }, 0.3);
      const double f = best_seconds([&] { divide(q, r, x, d); }, 0.3);
      const bool same = mpz_cmp(q, gq) == 0 && mpz_cmp(r, gr) == 0;
      std::printf("%10ld %5ld:1 %12.3f %12.3f %7.2fx %s\n", n, times, g * 1e3, f * 1e3, g / f,
                  same ? "identical" : "DIFFERENT");
      mpz_clears(x, d, q, r, gq, gr, nullptr);
    }
  }
  gmp_randclear(random);
  fft_release_scratch();
  return 0;
}
