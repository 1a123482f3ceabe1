// Large products on two threads: the longer operand's halves multiplied side by side, each as
// multiply would (its own FFT scratch within the bounds), for a phase where one thread would
// otherwise multiply alone while the other core waits.
#pragma once

#include <gmp.h>

#include <cstddef>

// Products whose longer operand has fewer limbs than this are taken on one thread.
inline constexpr std::size_t TWO_THREAD_PRODUCT_MIN_LIMBS = 100000;

// r <- a b, on the calling thread and a second one where the product goes to the FFT, its longer
// operand has at least TWO_THREAD_PRODUCT_MIN_LIMBS limbs and a thread can be had; as multiply
// otherwise. r may be a or b.
void multiply_on_two_threads(mpz_t r, const mpz_t a, const mpz_t b);
