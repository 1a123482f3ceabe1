// One step of the series on an exact integer, in units of the last word: T(j+1) = floor(T(j) a_j
// / b_j) with a_j = 2j - 1 and b_j = (2j + 2) K (the loop's nested truncations fuse into one).
#pragma once

#include <gmp.h>

#include <cstdint>

// x <- floor(x a_j / b_j), for step j >= 1; the divisor in two parts where an unsigned long has
// 32 bits (the same quotient).
void exact_step(mpz_t x, std::uint32_t j);

// x <- x b_j, for step j >= 1.
void multiply_by_step_divisor(mpz_t x, std::uint32_t j);
