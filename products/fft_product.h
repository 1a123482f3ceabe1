// FLINT's small-prime FFT product, for product.cpp alone: built with AVX2 and FMA, so nothing here
// may run before fft_product_supported() has said yes.
#pragma once

#include <gmp.h>

// Whether this processor runs the FFT (asked once, before anything of FLINT's is called).
bool fft_product_supported();

// {r, an + bn} <- {a, an} {b, bn}. Requires an >= bn >= 1, r apart from a and b, and
// fft_product_supported(). FLINT's allocations come from the memory arena (from malloc without
// one), so that they are a route's like GMP's. The thread keeps its scratch for the next product
// when `keep` is set or the scratch is at most FFT_KEPT_SCRATCH_BYTES.
void fft_multiply(mp_limb_t* r, const mp_limb_t* a, mp_size_t an, const mp_limb_t* b, mp_size_t bn,
                  bool keep);

// Frees the calling thread's FFT tables and buffer; safe when it holds none.
void fft_release_scratch();
