// Products modulo B^n - 1 (B = 2^GMP_NUMB_BITS, one limb): for a product of which only the limbs
// away from both ends are wanted, they cost about half of a full product. GMP computes them with
// its FFT through an internal function, reached only from wrapped_product.cpp; where the library
// lacks it they come from a full product folded once.
#pragma once

#include <gmp.h>

#include "products/product.h"

// Whether GMP's own wrapped products are used (a folded full product otherwise, which needs more
// memory).
bool wrapped_products_native();

// The size from `at_least` up for which the wrapped product (a square's when `squaring`) is
// quickest now, by the calling thread's bounds on the FFT, for products whose shorter operand
// has at most `shorter` limbs (0: the size's own; see wrapped_fft_size).
mp_size_t wrapped_size(mp_size_t at_least, bool squaring = false, mp_size_t shorter = 0);

// Limbs of scratch that a wrapped product of size n needs.
mp_size_t wrapped_scratch_limbs(mp_size_t n);

// FLINT's FFT takes a product modulo B^n - 1 by whole transforms (half the length of a full
// product and a fold where one operand is half as long) for the sizes it chooses, within the
// thread's bound on its scratch; a full FFT product and a fold where that fits and the size is
// another, and GMP's wrapped product otherwise.

// {r, n} = {p, pn} mod (B^n - 1) for pn <= 2n (B^n - 1 itself may stand for 0). r may be p.
void fold_to_residue(mp_limb_t* r, mp_size_t n, const mp_limb_t* p, mp_size_t pn);

// {r, n} = {a, an} {b, bn} mod (B^n - 1). Requires 0 < bn <= an <= n and an + bn > n / 2, room
// for n + WRAPPED_FFT_EXTRA_LIMBS limbs at r (the FFT's coefficients are summed there and folded
// in place, so that its product touches no scratch), and `scratch` of wrapped_scratch_limbs(n)
// limbs, which may begin at r + n. A zero residue may come out as B^n - 1, but not when an operand
// is zero. Where `kept` holds {b, bn} at size n, the FFT takes it from there.
void wrapped_multiply(mp_limb_t* r, mp_size_t n, const mp_limb_t* a, mp_size_t an,
                      const mp_limb_t* b, mp_size_t bn, mp_limb_t* scratch,
                      const KeptOperand* kept = nullptr);

// {r, n} = {a, an}^2 mod (B^n - 1). Requires n / 4 < an <= n, and r and scratch as above.
void wrapped_square(mp_limb_t* r, mp_size_t n, const mp_limb_t* a, mp_size_t an,
                    mp_limb_t* scratch);
