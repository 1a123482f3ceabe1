#include "products/wrapped_product.h"

#include <cassert>

#include "products/product.h"
#include "products/product_tuning.h"

void fold_to_residue(mp_limb_t* r, mp_size_t n, const mp_limb_t* p, mp_size_t pn) {
  assert(pn <= 2 * n);
  if (r != p) mpn_copyi(r, p, pn < n ? pn : n);
  if (pn < n) {
    mpn_zero(r + pn, n - pn);
    return;
  }
  if (pn > n && mpn_add(r, r, n, p + n, pn - n) != 0) mpn_add_1(r, r, n, 1);
}

#if TINDERMOSS_GMP_WRAPPED_PRODUCT
// GMP's own, from its internal interface (unchanged from GMP 5.0 to 6.3); the build checks that
// they link, and the tests check them against full products.
extern "C" {
void __gmpn_mulmod_bnm1(mp_ptr rp, mp_size_t rn, mp_srcptr ap, mp_size_t an, mp_srcptr bp,
                        mp_size_t bn, mp_ptr tp);
mp_size_t __gmpn_mulmod_bnm1_next_size(mp_size_t n);
void __gmpn_sqrmod_bnm1(mp_ptr rp, mp_size_t rn, mp_srcptr ap, mp_size_t an, mp_ptr tp);
}

bool wrapped_products_native() { return true; }

mp_size_t wrapped_size(mp_size_t at_least, bool squaring, mp_size_t shorter) {
  const mp_size_t fft = wrapped_fft_size(at_least, squaring, shorter);
  return fft != 0 ? fft : __gmpn_mulmod_bnm1_next_size(at_least);
}

mp_size_t wrapped_scratch_limbs(mp_size_t n) { return 2 * n + 4; }

void wrapped_multiply(mp_limb_t* r, mp_size_t n, const mp_limb_t* a, mp_size_t an,
                      const mp_limb_t* b, mp_size_t bn, mp_limb_t* scratch,
                      const KeptOperand* kept) {
  assert(0 < bn && bn <= an && an <= n && an + bn > n / 2);
  if ((kept != nullptr && wrapped_by_kept_fft(r, n, a, an, b, bn, *kept)) ||
      wrapped_by_fft(r, n, a, an, b, bn)) {
    fold_to_residue(r, n, r, n + WRAPPED_FFT_EXTRA_LIMBS);
    return;
  }
  if (n >= WRAPPED_FFT_MIN_LIMBS && fft_takes_within(an, bn, WRAPPED_FFT_MAX_HALVINGS)) {
    multiply_limbs(scratch, a, an, b, bn);
    fold_to_residue(r, n, scratch, an + bn);
    return;
  }
  before_gmp_product(static_cast<std::size_t>(n));
  __gmpn_mulmod_bnm1(r, n, a, an, b, bn, scratch);
  if (an + bn < n) mpn_zero(r + an + bn, n - an - bn);  // GMP writes the product's limbs only
}

void wrapped_square(mp_limb_t* r, mp_size_t n, const mp_limb_t* a, mp_size_t an,
                    mp_limb_t* scratch) {
  assert(n / 4 < an && an <= n);
  if (wrapped_by_fft(r, n, a, an, a, an)) {
    fold_to_residue(r, n, r, n + WRAPPED_FFT_EXTRA_LIMBS);
    return;
  }
  before_gmp_product(static_cast<std::size_t>(n));
  __gmpn_sqrmod_bnm1(r, n, a, an, scratch);
  if (2 * an < n) mpn_zero(r + 2 * an, n - 2 * an);
}

#else

bool wrapped_products_native() { return false; }

mp_size_t wrapped_size(mp_size_t at_least, bool squaring, mp_size_t shorter) {
  const mp_size_t fft = wrapped_fft_size(at_least, squaring, shorter);
  return fft != 0 ? fft : at_least;
}

mp_size_t wrapped_scratch_limbs(mp_size_t n) { return 2 * n + 4; }

void wrapped_multiply(mp_limb_t* r, mp_size_t n, const mp_limb_t* a, mp_size_t an,
                      const mp_limb_t* b, mp_size_t bn, mp_limb_t* scratch,
                      const KeptOperand* kept) {
  assert(0 < bn && bn <= an && an <= n && an + bn > n / 2);
  if ((kept != nullptr && wrapped_by_kept_fft(r, n, a, an, b, bn, *kept)) ||
      wrapped_by_fft(r, n, a, an, b, bn)) {
    fold_to_residue(r, n, r, n + WRAPPED_FFT_EXTRA_LIMBS);
    return;
  }
  multiply_limbs(scratch, a, an, b, bn);
  fold_to_residue(r, n, scratch, an + bn);
}

void wrapped_square(mp_limb_t* r, mp_size_t n, const mp_limb_t* a, mp_size_t an,
                    mp_limb_t* scratch) {
  assert(n / 4 < an && an <= n);
  if (wrapped_by_fft(r, n, a, an, a, an)) {
    fold_to_residue(r, n, r, n + WRAPPED_FFT_EXTRA_LIMBS);
    return;
  }
  mpn_sqr(scratch, a, an);
  fold_to_residue(r, n, scratch, 2 * an);
}

#endif
