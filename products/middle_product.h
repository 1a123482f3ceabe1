// The middle of a product: of {u, un} times {v, vn}, the limbs from vn - 1 on below un, with the
// terms below that left out. For a fraction of un limbs times an integer of vn, where only the
// fraction part's top is wanted, it costs about half of the full product. GMP computes it through
// an internal function, reached only from middle_product.cpp; where the library lacks it, or for
// the larger products, where the wrapped products of wrapped_product.h are quicker, the caller
// takes those instead.
#pragma once

#include <gmp.h>

// Whether the middle product is GMP's own and quicker than a wrapped product for a fraction of
// `un` limbs times an integer about half as long: below MIDDLE_PRODUCT_MAX_LIMBS where the FFT's
// whole transforms would not take the wrapped product (see product_tuning.h).
bool middle_product_quicker(mp_size_t un);

// {r, un - vn + 3} <- the sum of u_i v_j B^(i+j-(vn-1)) over vn - 1 <= i + j <= un - 1. Then
// r B^(vn-1) and {u, un} {v, vn} agree modulo B^un but for the terms left out, which are below
// (vn - 1) B^vn. Requires un >= vn >= 1, middle products native, and r apart from u and v.
void middle_product(mp_limb_t* r, const mp_limb_t* u, mp_size_t un, const mp_limb_t* v,
                    mp_size_t vn);
