// FLINT's small-prime FFT product, for product.cpp alone: built with AVX2 and FMA, so nothing here
// may run before choose_fft_products has chosen the FFT for a processor that has them.
#pragma once

#include <gmp.h>

#include <cstddef>

#include "products/product.h"

// Routes FLINT's allocations to the memory arena (to malloc without one), so that they are a
// route's like GMP's; once, before the first FFT product. Safe to call again.
void fft_prepare();

// Whether the recombination of the primes' results takes AVX-512's 52-bit multiply-adds (eight
// coefficients at a time), which requires a processor with AVX-512F and IFMA; the same results
// either way. Never in the Windows programs.
void fft_recombine_by_digits(bool wanted);

// {r, an + bn} <- {a, an} {b, bn}. Requires an >= bn >= 1, r apart from a and b, and
// fft_prepare() done. The thread keeps its scratch for the next product when `keep` is set or the
// scratch is at most FFT_KEPT_SCRATCH_BYTES.
void fft_multiply(mp_limb_t* r, const mp_limb_t* a, mp_size_t an, const mp_limb_t* b, mp_size_t bn,
                  bool keep);

// Products modulo B^n - 1 by whole transforms: 2^depth coefficients of FLINT's `bits` bits under
// its primes, with 2^depth bits = GMP_NUMB_BITS n, so that the transforms' cyclic convolution is
// the product modulo B^n - 1 itself. Against a full product and a fold, they take transforms of n
// coefficients' worth rather than (an + bn)'s, and about 56 bytes a limb of n rather than 66 a
// limb of an + bn.

// The primes of a size must hold the product's coefficients, each a sum of at most as many terms
// as the shorter operand has coefficients: the functions below take the most limbs of the shorter
// operand of the products of size n, `shorter` (0: n itself, for operands of up to n limbs). A
// bound well below n (a number by one half as long) allows sizes of fewer primes, or shorter
// transforms, that are quicker and take less scratch. A size chosen for a bound serves the
// products within it; the functions given a size take the shape its bound allows there.

// The n from `at_least` up (at most 2^40) whose product is quickest (by the transforms' length
// and the primes' count) for such operands. Requires fft_prepare() done.
mp_size_t fft_wrapped_size(mp_size_t at_least, mp_size_t shorter);

// What the sum of a wrapped product's coefficients takes beyond n limbs.
inline constexpr mp_size_t FFT_WRAPPED_EXTRA_LIMBS = 9;

// The least FFT scratch of such a product of size n (a square's when `squaring`), its context's
// included; 0 when n is no such size.
std::size_t fft_wrapped_scratch_bytes(mp_size_t n, bool squaring, mp_size_t shorter);

// {sum, n + FFT_WRAPPED_EXTRA_LIMBS} <- the transforms' coefficients of {a, an} {b, bn} (a square
// where a == b and an == bn) at their places, a number congruent to the product modulo B^n - 1
// that the caller folds, with n from fft_wrapped_size for a bound of bn or more, in FFT scratch
// of at most `allowance` bytes: all the transforms at once where they fit it, else one prime's
// of the second operand at a time (on the FFT's two threads where fft_wrapped_on_two_threads
// says so). Requires n >= an >= bn >= 1, sum apart from a and b, and
// fft_wrapped_scratch_bytes(n, a square, bn) <= allowance. The thread keeps its scratch as
// fft_multiply does.
void fft_wrapped_multiply(mp_limb_t* sum, mp_size_t n, const mp_limb_t* a, mp_size_t an,
                          const mp_limb_t* b, mp_size_t bn, std::size_t allowance, bool keep);

// Full products by the same whole transforms, of the quickest size n > an + bn (no coefficient
// wraps), truncated to the product's coefficients: in the lean layout about 30 bytes of scratch
// a limb of n, where the full product's transforms take 66 a limb of an + bn.

// Their least scratch for {a, an} {b, bn} (a square's when `squaring`); 0 where no size fits.
std::size_t fft_whole_scratch_bytes(mp_size_t an, mp_size_t bn, bool squaring);

// {r, an + bn} <- {a, an} {b, bn} so, in FFT scratch of at most `allowance` bytes, given back
// after. Requires an >= bn >= 1, r apart from a and b, and fft_whole_scratch_bytes <= allowance.
void fft_whole_multiply(mp_limb_t* r, const mp_limb_t* a, mp_size_t an, const mp_limb_t* b,
                        mp_size_t bn, std::size_t allowance);

// Whether a product of size n (not a square) on the calling thread's FFT on two threads takes
// them both, sharing its primes: where its transforms do not fit `allowance` all at once but fit
// it one prime's of the second operand at a time on each thread.
bool fft_wrapped_on_two_threads(mp_size_t n, bool squaring, mp_size_t shorter,
                                std::size_t allowance);

// A second operand kept in its transforms under every prime (see KeptOperand): each product by
// it then loads and transforms only its first operand.

// What keeping an operand of `kept_limbs` limbs for products of size n takes (0 when n is no such
// size for it).
std::size_t fft_kept_operand_bytes(mp_size_t n, mp_size_t kept_limbs);

// *kept <- the transforms of {b, bn} for products of size n from fft_wrapped_size (for a bound of
// bn or more), made with the calling thread's context; false, holding nothing, when the arena is
// short. Requires 1 <= bn <= n and {b, bn} unchanged while kept.
bool fft_keep_operand(KeptOperand* kept, mp_size_t n, const mp_limb_t* b, mp_size_t bn);
void fft_release_kept_operand(KeptOperand* kept);

// The FFT scratch of a product of size n by a kept operand: the first operand's transforms and
// the tables of roots.
std::size_t fft_wrapped_scratch_bytes_by_kept(mp_size_t n, mp_size_t kept_limbs);

// As fft_wrapped_multiply for {a, an} times the kept operand, whose size must be n and whose
// scratch must fit `allowance`: fft_wrapped_scratch_bytes_by_kept(n, kept's size) <= allowance.
void fft_wrapped_multiply_by_kept(mp_limb_t* sum, mp_size_t n, const mp_limb_t* a, mp_size_t an,
                                  const KeptOperand& kept, std::size_t allowance, bool keep);

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
