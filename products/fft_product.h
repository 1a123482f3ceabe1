// FLINT's small-prime FFT product, for product.cpp alone: built with AVX2 and FMA, so nothing here
// may run before choose_fft_products has chosen the FFT for a processor that has them.
#pragma once

#include <gmp.h>

// Routes FLINT's allocations to the memory arena (to malloc without one), so that they are a
// route's like GMP's; once, before the first FFT product. Safe to call again.
void fft_prepare();

// {r, an + bn} <- {a, an} {b, bn}. Requires an >= bn >= 1, r apart from a and b, and
// fft_prepare() done. The thread keeps its scratch for the next product when `keep` is set or the
// scratch is at most FFT_KEPT_SCRATCH_BYTES.
void fft_multiply(mp_limb_t* r, const mp_limb_t* a, mp_size_t an, const mp_limb_t* b, mp_size_t bn,
                  bool keep);

// Frees the calling thread's FFT tables and buffer, and FLINT's caches for it; safe when it holds
// none. A thread that multiplied calls it before it ends.
void fft_release_scratch();

// Frees the calling thread's FFT tables and buffer only; safe when it holds none.
void fft_release_context();

// Whether FLINT's pool of threads is there for products on two threads: made at the first call
// (one thread of its own, after a thread has been made and joined here, since the pool waits
// forever for a thread it cannot make); false where none could be made.
bool fft_pool_ready();

// The calling thread's FFT products run on `threads` threads (1 or 2): its own and, while no
// other product holds it, the pool's. Requires fft_pool_ready() for 2.
void fft_set_threads(unsigned threads);
