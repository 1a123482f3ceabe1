// Division of large integers by Newton's reciprocal over the products of product.h, exact: the
// quotient and remainder are GMP's own. Where the products are GMP's it is GMP's division.
#pragma once

#include <gmp.h>

// q <- floor(x / d) and r <- x - q d, for x >= 0 and d > 0. q and r are distinct; either may be x,
// neither d.
void divide(mpz_t q, mpz_t r, const mpz_t x, const mpz_t d);
