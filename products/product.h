// Products of large integers: FLINT's small-prime FFT where this build has it and the processor
// runs it (AVX2 and FMA), above a measured size and within a bound on the FFT's scratch (see
// product_tuning.h); GMP's everywhere else. Both give the exact product, so which one ran never
// changes a result.
#pragma once

#include <gmp.h>

#include <cstddef>

// r <- a b. r may be a or b.
void multiply(mpz_t r, const mpz_t a, const mpz_t b);

// r <- r + a b. r may be a or b.
void multiply_add(mpz_t r, const mpz_t a, const mpz_t b);

// Whether a product of operands of `an` and `bn` limbs goes to FLINT's FFT now.
bool fft_takes(mp_size_t an, mp_size_t bn);

// The memory the FFT's scratch of `threads` threads that multiply at once may take from the
// arena, for products of at most `largest_product_limbs` limbs (0 where GMP's products run
// alone): every route's reservation adds it.
std::size_t product_scratch_bytes(unsigned threads, std::size_t largest_product_limbs);

// Gives back the FFT scratch the calling thread holds (its tables and buffer grow with the largest
// product it has taken). A thread that multiplied calls it before the memory that scratch came
// from is given back (an arena is released); a thread's own scratch also goes when it ends.
void release_product_scratch();
