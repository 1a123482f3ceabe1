// Products of large integers: FLINT's small-prime FFT where this build has it and the processor
// runs it (AVX2 and FMA), above a measured size and within a bound on the FFT's scratch (see
// product_tuning.h); GMP's everywhere else. Both give the exact product, so which one ran never
// changes a result.
#pragma once

#include <gmp.h>

#include <cstddef>

#include "products/product_tuning.h"

// What a processor offers of the instructions FLINT's FFT is built for.
struct ProcessorFeatures {
  bool avx2 = false;
  bool fma = false;
  bool ifma = false;  // AVX-512F with its 52-bit multiply-adds
};

// This processor's, with its system's support for the wide registers.
ProcessorFeatures processor_features();

// Chooses FLINT's FFT for the large products when this build has it and a processor with
// `features` runs it (AVX2 and FMA both), GMP's products otherwise. It is made once with
// processor_features() before the first product; a test may make it again between products.
// Returns whether the FFT was chosen.
bool choose_fft_products(const ProcessorFeatures& features);

// r <- a b. r may be a or b.
void multiply(mpz_t r, const mpz_t a, const mpz_t b);

// r <- r + a b. r may be a or b.
void multiply_add(mpz_t r, const mpz_t a, const mpz_t b);

// {r, an + bn} <- {a, an} {b, bn}, by the same choice as multiply. Requires an >= bn >= 1 and r
// apart from a and b.
void multiply_limbs(mp_limb_t* r, const mp_limb_t* a, mp_size_t an, const mp_limb_t* b,
                    mp_size_t bn);

// Whether a product of operands of `an` and `bn` limbs goes to FLINT's FFT now.
bool fft_takes(mp_size_t an, mp_size_t bn);

// Whether it goes to the FFT whole (within the thread's bound or by the whole transforms), not
// split into parts (whose extra work the division's many products do not repay).
bool fft_takes_whole(mp_size_t an, mp_size_t bn);

// Whether it goes to the FFT whole, in slices, or in parts of at most `halvings` of Karatsuba's
// halvings (see product_tuning.h).
bool fft_takes_within(mp_size_t an, mp_size_t bn, unsigned halvings);

// The size from `at_least` limbs up of the quickest product (a square's when `squaring`) modulo
// B^n - 1 by FLINT's whole transforms (see fft_product.h), where the calling thread's FFT would
// take it now (see wrapped_by_fft); 0 where it would not or `at_least` is below
// WRAPPED_TRANSFORM_MIN_LIMBS. `shorter` bounds the limbs of the products' shorter operand (0:
// the size itself); a bound well below the size may allow a quicker and smaller one.
mp_size_t wrapped_fft_size(mp_size_t at_least, bool squaring, mp_size_t shorter = 0);

// Limbs beyond n of what wrapped_by_fft writes.
inline constexpr mp_size_t WRAPPED_FFT_EXTRA_LIMBS = 9;

// {sum, n + WRAPPED_FFT_EXTRA_LIMBS} <- a number congruent to {a, an} {b, bn} modulo B^n - 1 (a
// square where a == b and an == bn), to be folded once, by FLINT's whole transforms where n came
// from wrapped_fft_size (for a bound of bn or more), the calling thread's FFT runs on one thread
// (or shares the product's primes between its two, see fft_wrapped_on_two_threads) and its
// scratch fits the thread's bound; otherwise false, with nothing written. Requires n >= an >= bn >=
// 1 and sum apart from a and b.
bool wrapped_by_fft(mp_limb_t* sum, mp_size_t n, const mp_limb_t* a, mp_size_t an,
                    const mp_limb_t* b, mp_size_t bn);

// A number kept in the transforms of FLINT's products modulo B^n - 1 of one size n, for many
// products by it (a power of ten by every piece of a level): each then loads and transforms only
// its other operand, 1.26 to 1.38 times as quick from 10^3 to 3.3 10^5 limbs (measured by a
// throwaway build of build/bench/product_tuning). Its memory comes from the arena.
struct KeptOperand {
  double* transforms = nullptr;
  mp_size_t n = 0;
  const mp_limb_t* limbs = nullptr;  // the number's, which stay unchanged while kept
  mp_size_t size = 0;
  std::size_t bytes = 0;
};

// What keeping a number of `kept_limbs` limbs for products of size n takes: 0 where the calling
// thread's FFT would not take such a product by a kept number.
std::size_t kept_operand_bytes(mp_size_t n, mp_size_t kept_limbs);

// The FFT scratch of a product of size n by a kept number of `kept_limbs` limbs (beside the kept
// number's own).
std::size_t kept_product_scratch_bytes(mp_size_t n, mp_size_t kept_limbs);

// The FFT scratch the calling thread may hold now: the bound set for all threads, or its own
// while it is alone (see set_thread_alone).
std::size_t thread_fft_scratch_bound();

// *kept <- {b, bn} in the transforms for products of size n (from wrapped_size, for a bound of bn
// or more), where kept_operand_bytes(n, bn) is not 0 and the arena has them; otherwise false,
// holding nothing. Requires 1 <= bn <= n.
bool keep_operand(KeptOperand* kept, mp_size_t n, const mp_limb_t* b, mp_size_t bn);
void release_kept_operand(KeptOperand* kept);

// As wrapped_by_fft for {a, an} times {b, bn} where `kept` holds {b, bn} at size n and the calling
// thread's FFT takes it: only a is transformed. Requires n >= an >= 1 and sum apart from a.
bool wrapped_by_kept_fft(mp_limb_t* sum, mp_size_t n, const mp_limb_t* a, mp_size_t an,
                         const mp_limb_t* b, mp_size_t bn, const KeptOperand& kept);

// How far products go to the FFT: the most FFT scratch one thread may hold; whether a product
// whose scratch would pass it is split into parts that fit (see product_tuning.h) rather than
// left to GMP; and whether a thread keeps its scratch, up to the bound, from one product to the
// next (until release_product_scratch) rather than only up to FFT_KEPT_SCRATCH_BYTES, which
// spares each large product its buffer's first touch.
// A product whose FFT scratch would pass the bound may yet go to the FFT's whole transforms (see
// fft_product.h), about half the scratch a limb, in up to `whole_transforms_bytes` (0: never),
// before it is split or left to GMP: a route gives each thread its share of its model there.
struct ProductBounds {
  std::size_t fft_scratch_bytes = FFT_SCRATCH_MAX_BYTES;
  bool split = false;
  bool keep_scratch = false;
  std::size_t whole_transforms_bytes = 0;
};

// Sets the bounds for the products from now on. A route sets them before it reserves its memory,
// as its model counts them (product_scratch_bytes); the defaults until then.
void set_product_bounds(const ProductBounds& bounds);

// While no other thread multiplies, the calling thread may take both threads' share of a route's
// model: FFT scratch up to `fft_scratch_bytes` instead of the bound set for all threads (0: that
// bound), and with `threads` >= 2 FLINT's FFT on two threads, its own and one of FLINT's (made at
// the first such call; the FFT stays on one where no thread can be made). end_thread_alone goes
// back to the common bound and one thread, and gives back the FFT scratch the thread holds.
void set_thread_alone(std::size_t fft_scratch_bytes, unsigned threads);
void end_thread_alone();

// The memory the FFT's scratch, and the parts of split products, of `threads` threads that
// multiply at once may take from the arena under `bounds`, for products of at most
// `largest_product_limbs` limbs (0 where GMP's products run alone): every route's reservation
// adds it.
std::size_t product_scratch_bytes(const ProductBounds& bounds, unsigned threads,
                                  std::size_t largest_product_limbs);

// Before a product or division by GMP of `limbs` limbs in all: where that is large, the calling
// thread's kept FFT scratch is given back (see GMP_PRODUCT_RELEASES_FFT_LIMBS).
void before_gmp_product(std::size_t limbs);

// Gives back the FFT scratch the calling thread holds (its tables and buffer grow with the largest
// product it has taken). A thread that multiplied calls it before it ends and before the memory
// that scratch came from is given back (an arena is released): nothing frees it for the thread.
void release_product_scratch();
