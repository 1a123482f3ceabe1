// Where the products change method, measured by build/bench/product_tuning (the crossover) and by
// FLINT's own allocations (the scratch) on this project's machines, one thread a product.
#pragma once

#include <cstddef>

#include <gmp.h>

// Products whose smaller operand has at least this many limbs go to FLINT's FFT (from 843 limbs
// of both operands on it is quicker, 1.4 times at 1264, 3 times from 50,000 on).
inline constexpr mp_size_t FFT_PRODUCT_MIN_LIMBS = 850;

// FLINT's scratch for a product of n limbs in all: its buffer and tables, about 62 to 66 bytes
// a limb from 10^4 limbs on, and its context's own.
inline constexpr std::size_t FFT_SCRATCH_BYTES_PER_LIMB = 66;
inline constexpr std::size_t FFT_CONTEXT_BYTES = std::size_t{256} << 10;

// A thread keeps the FFT scratch of products up to this size for the next; a larger product's
// scratch is given back when it is done (a new context then costs about a tenth of a
// millisecond, and the buffer's first touch).
inline constexpr std::size_t FFT_KEPT_SCRATCH_BYTES = std::size_t{8} << 20;

// While a route's arena is in force, each thread's FFT scratch stays within this share of it
// (larger products go to GMP, whose scratch is about the product's own size): two threads take at
// most an eighth, which every route's model leaves free beside its own use.
inline constexpr std::size_t FFT_SCRATCH_SHARE_OF_ARENA = 16;

// Divisors of more bits than this are divided through Newton's reciprocal over the FFT products
// (1.17 times GMP's speed from 16,000 limbs on for a dividend twice as long, 1.3 to 1.46 for six
// times); smaller ones, and the reciprocal's own first bits, by GMP's division.
inline constexpr mp_bitcnt_t DIVISION_MIN_BITS = 64 * 12000;
