// A long division that can be given up part way: the dividend is taken from its top a piece as
// long as the divisor at a time, so that a thread that does it on the side answers a stop within
// one piece's division rather than the whole one's. Each piece's quotient takes the place of the
// piece, so that no second number of the dividend's size is needed.
#pragma once

#include <gmp.h>

#include <atomic>

// n <- floor(n / d) and r = n mod d, for n >= 0 and d > 0, all three distinct. Returns false,
// with n undefined and r zero, when `abandoned` is seen between pieces.
bool divide_in_pieces(mpz_t n, mpz_t r, const mpz_t d, const std::atomic<bool>& abandoned);
