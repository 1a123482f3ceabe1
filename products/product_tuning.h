// Where the products change method, measured by build/bench/product_tuning (the crossover) and by
// FLINT's own allocations (the scratch) on this project's machines, one thread a product.
#pragma once

#include <cstddef>

#include <gmp.h>

// Products whose smaller operand has at least this many limbs go to FLINT's FFT. Measured by
// build/bench/product_tuning, both operands of that many limbs: 1.02 times GMP's speed at 375
// limbs, 1.37 at 562, 1.47 at 843, 1.9 at 1264, 3 times from 50,000 on. With -r at 10^7 digits,
// five runs each in turn, 560 took 2.5% less processor time than 850 (4.76 s against 4.88), 420
// none less than 560. With the primes' results recombined by AVX-512: 0.92 to 0.95 times at 250
// limbs, 1.26 to 1.30 at 375, 1.5 to 1.6 at 562; with -r at 10^7 digits 375 took 2% less
// processor time than 560 (6.47 s against 6.61, medians of eight in turn), 300 none less.
inline constexpr mp_size_t FFT_PRODUCT_MIN_LIMBS = 375;

// FLINT's scratch for a product of n limbs in all: its buffer and tables, about 62 to 66 bytes
// a limb from 10^4 limbs on, and its context's own.
inline constexpr std::size_t FFT_SCRATCH_BYTES_PER_LIMB = 66;
inline constexpr std::size_t FFT_CONTEXT_BYTES = std::size_t{256} << 10;

// On two threads the FFT may take other primes, and up to 80 bytes a limb (measured from 5000 to
// 7 million limbs).
inline constexpr std::size_t FFT_TWO_THREADS_SCRATCH_BYTES_PER_LIMB = 81;

// The FFT's scratch for a product of `product_limbs` limbs in all on `threads` threads (1 or 2).
constexpr std::size_t fft_scratch_bytes(std::size_t product_limbs, unsigned threads = 1) {
  return (threads >= 2 ? FFT_TWO_THREADS_SCRATCH_BYTES_PER_LIMB : FFT_SCRATCH_BYTES_PER_LIMB) *
             product_limbs +
         FFT_CONTEXT_BYTES;
}

// The most FFT scratch a thread holds unless a route sets other bounds (see ProductBounds):
// products of more limbs go to GMP, whose scratch is about the product's own size. FLINT's scratch
// is about eight times the product's, so this keeps it out of the few largest products of a run,
// where it would set the run's peak, and in the many below them, where most of a run's products are
// (measured: 10^7 digits with -r 10% quicker with this bound, none at 10^8 and 8% more memory
// without it).
inline constexpr std::size_t FFT_SCRATCH_MAX_BYTES = std::size_t{16} << 20;

// A product whose FFT scratch would pass the bound is split, a long operand into slices and a
// balanced pair by Karatsuba's identity into three of half the size, until the parts fit; at most
// this many halvings, each of which adds half to the FFT's work (measured by
// build/bench/product_tuning from 10^5 to 1.6 10^6 limbs: with three still 1.4 to 1.6 times GMP's
// speed, with four 0.9 to 1.3 times).
inline constexpr unsigned KARATSUBA_MAX_LEVELS = 3;

// A thread keeps the FFT scratch of products up to this size for its next; a larger product's
// is given back when it is done (a new context costs about a tenth of a millisecond, and its
// buffer's first touch), so that it adds to a run's memory only while it runs.
inline constexpr std::size_t FFT_KEPT_SCRATCH_BYTES = std::size_t{2} << 20;

// Before a GMP product or division of at least this many limbs in all, a thread gives back the FFT
// scratch it keeps, so that GMP's own scratch does not come on top of an idle one (remaking the
// FFT's context afterwards costs far less than such a product).
inline constexpr std::size_t GMP_PRODUCT_RELEASES_FFT_LIMBS = std::size_t{1} << 20;

// Products modulo B^n - 1 of at least this many limbs are full FFT products folded once, where
// the FFT takes them whole, in slices or in parts of at most WRAPPED_FFT_MAX_HALVINGS halvings:
// 1.3 to 2.5 times as quick as GMP's wrapped product from 10^4 limbs on for a fraction times a
// power of ten of half its length (its squares gain too little). Measured for n from 650,000 to
// 5.2 million limbs under bounds of 44 and 125 MB: in slices 2.3 to 2.4 times, with one halving
// 1.2 to 1.4 times, with two 0.9 to 1.1 times.
inline constexpr mp_size_t WRAPPED_FFT_MIN_LIMBS = 10000;
inline constexpr unsigned WRAPPED_FFT_MAX_HALVINGS = 1;

// What GMP's product modulo B^n - 1 takes beside its result, a limb of n: the scratch its caller
// gives (2n + 4 limbs) and its own temporaries (16.3 bytes a limb, measured from 2.6 10^5 to
// 5.2 10^5 limbs). Where the FFT's whole transforms need no more, they take the product in its
// place even past the thread's bound (see wrapped_by_fft).
inline constexpr std::size_t GMP_WRAPPED_BYTES_PER_LIMB = 32;

// Products modulo B^n - 1 of at least this many limbs go to FLINT's whole transforms where their
// scratch fits the thread's bound (before a full FFT product and a fold): for a fraction times a
// power of ten of half its length as quick as GMP's middle product at 337 limbs, 1.3 times as
// quick at 505 and 1.7 times at 757, 1.4 to 1.8 times as quick as GMP's wrapped product from 1000
// to 10^4 limbs, 2 to 3.7 times from there to 2.6 million, and 1.1 to 1.5 times as quick as a full
// FFT product (measured one thread a product). Taken from 400 limbs rather than 1000, runs took
// 2.4% less processor time at 10^7 digits, 4.7% at 10^8, and with -r 3.4% at 10^7.
inline constexpr mp_size_t WRAPPED_TRANSFORM_MIN_LIMBS = 400;

// A fraction of fewer limbs than this times a power of ten of half its length goes to GMP's middle
// product rather than to GMP's wrapped product (measured by build/bench/product_tuning: 1.5 times
// as quick at 100 limbs, 1.1 times at 750, slower from 1100 on); where the FFT's whole transforms
// take the wrapped product, from WRAPPED_TRANSFORM_MIN_LIMBS, they take it instead (the middle
// product 1.8 times as quick as they at 225 limbs, as quick at 337).
inline constexpr mp_size_t MIDDLE_PRODUCT_MAX_LIMBS = 1000;

// Divisors of more bits than this are divided through Newton's reciprocal over the FFT products
// (measured: 1.1 times GMP's speed at 2000 limbs; from 4000 on 1.0 to 1.3 times for a dividend
// twice as long and 1.5 to 1.8 for six or forty times); smaller ones by GMP's division.
inline constexpr mp_bitcnt_t DIVISION_MIN_BITS = 64 * 2500;

// A reciprocal of more bits than this takes Newton's steps down to it, GMP's division below: where
// the FFT's products begin (measured for divisions of twice the divisor's length: 6 to 9% quicker
// than steps down to DIVISION_MIN_BITS from 2600 to 4500 limbs, 2 to 3% at 6000 and 8000).
inline constexpr mp_bitcnt_t NEWTON_RECIPROCAL_MIN_BITS = 64 * 1000;
