// Division of large integers by Newton's reciprocal over the products of product.h, exact: the
// quotient and remainder are GMP's own. Where the products are GMP's it is GMP's division.
#pragma once

#include <gmp.h>

#include "products/product.h"
#include "products/stop_check.h"

// q <- floor(x / d) and r <- x - q d, for x >= 0 and d > 0. q and r are distinct; either may be x,
// neither d.
void divide(mpz_t q, mpz_t r, const mpz_t x, const mpz_t d);

// The same, unless `stop` asks to stop between its products: then returns false with q, r and x
// as they were.
bool divide_unless_stopped(mpz_t q, mpz_t r, const mpz_t x, const mpz_t d, const StopCheck& stop);

// v <- floor(2^(2p) / d) or a number at most RECIPROCAL_MAX_ERROR from it (|v - 2^(2p) / d|
// < 1.01), for d of exactly p >= 1 bits: by GMP's division up to NEWTON_RECIPROCAL_MIN_BITS bits,
// above by Newton's steps over the products of product.h.
inline constexpr unsigned RECIPROCAL_MAX_ERROR = 2;
void approximate_reciprocal(mpz_t v, const mpz_t d, mp_bitcnt_t p);

// t <- t - a b, for t, a and b >= 0 whose difference is known to lie below B^bound_limbs in size:
// from a b modulo B^n - 1 for an n from bound_limbs + 1 limbs up (see wrapped_product.h), about
// half a full product's work where a b is about twice as long as the difference; from the whole
// product where that would not save work. t is neither a nor b. Where `kept_b` holds b at that
// size n, the FFT takes b from there.
void subtract_near_product(mpz_t t, const mpz_t a, const mpz_t b, mp_size_t bound_limbs,
                           const KeptOperand* kept_b = nullptr);
