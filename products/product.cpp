#include "products/product.h"

#include <algorithm>

#if defined(TINDERMOSS_HAVE_FLINT)
#include "products/fft_product.h"
#include "products/product_tuning.h"

namespace {

bool by_fft(const mpz_t a, const mpz_t b) {
  return fft_takes(static_cast<mp_size_t>(mpz_size(a)), static_cast<mp_size_t>(mpz_size(b)));
}

// x <- a b by the FFT, where by_fft(a, b); x apart from a and b.
void fft_product(mpz_t x, const mpz_t a, const mpz_t b) {
  const bool a_longer = mpz_size(a) >= mpz_size(b);
  const mpz_srcptr longer = a_longer ? a : b;
  const mpz_srcptr shorter = a_longer ? b : a;
  const mp_size_t ln = mpz_size(longer), sn = mpz_size(shorter);
  mp_limb_t* out = mpz_limbs_write(x, ln + sn);
  fft_multiply(out, mpz_limbs_read(longer), ln, mpz_limbs_read(shorter), sn);
  const mp_size_t size = out[ln + sn - 1] == 0 ? ln + sn - 1 : ln + sn;
  mpz_limbs_finish(x, mpz_sgn(a) * mpz_sgn(b) < 0 ? -size : size);
}

}  // namespace
#endif

void multiply(mpz_t r, const mpz_t a, const mpz_t b) {
#if defined(TINDERMOSS_HAVE_FLINT)
  if (by_fft(a, b)) {
    if (r != a && r != b) {
      fft_product(r, a, b);
      return;
    }
    mpz_t product;
    mpz_init(product);
    fft_product(product, a, b);
    mpz_swap(r, product);
    mpz_clear(product);
    return;
  }
#endif
  mpz_mul(r, a, b);
}

void multiply_add(mpz_t r, const mpz_t a, const mpz_t b) {
#if defined(TINDERMOSS_HAVE_FLINT)
  if (by_fft(a, b)) {
    mpz_t product;
    mpz_init(product);
    fft_product(product, a, b);
    mpz_add(r, r, product);
    mpz_clear(product);
    return;
  }
#endif
  mpz_addmul(r, a, b);
}

// Above the crossover, with its scratch within the bound.
bool fft_takes(mp_size_t an, mp_size_t bn) {
#if defined(TINDERMOSS_HAVE_FLINT)
  if (std::min(an, bn) < FFT_PRODUCT_MIN_LIMBS || !fft_product_supported()) return false;
  return fft_scratch_bytes(static_cast<std::size_t>(an + bn)) <= FFT_SCRATCH_MAX_BYTES;
#else
  (void)an;
  (void)bn;
  return false;
#endif
}

std::size_t product_scratch_bytes(unsigned threads, std::size_t largest_product_limbs) {
#if defined(TINDERMOSS_HAVE_FLINT)
  if (fft_product_supported()) {
    return threads * std::min(FFT_SCRATCH_MAX_BYTES, fft_scratch_bytes(largest_product_limbs));
  }
#else
  (void)threads;
  (void)largest_product_limbs;
#endif
  return 0;
}

void release_product_scratch() {
#if defined(TINDERMOSS_HAVE_FLINT)
  if (fft_product_supported()) fft_release_scratch();
#endif
}
