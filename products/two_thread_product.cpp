#include "products/two_thread_product.h"

#include <cassert>
#include <exception>
#include <thread>

#include "products/memory_arena.h"
#include "products/product.h"

namespace {

// {r, xn + yn} <- {x, xn} {y, yn} for xn, yn >= 1, whichever is longer.
void ordered_product(mp_limb_t* r, const mp_limb_t* x, mp_size_t xn, const mp_limb_t* y,
                     mp_size_t yn) {
  if (xn >= yn) {
    multiply_limbs(r, x, xn, y, yn);
  } else {
    multiply_limbs(r, y, yn, x, xn);
  }
}

// {r, ln + sn} <- {l, ln} {s, sn} for ln >= 2, r apart from both: l's low h = ln / 2 limbs times s
// on a second thread into a buffer of their own, its high limbs times s here into r + h, then the
// low product added in. False, with r untouched, when the buffer or the thread cannot be had.
bool halves_product(mp_limb_t* r, const mp_limb_t* l, mp_size_t ln, const mp_limb_t* s,
                    mp_size_t sn) {
  const mp_size_t h = ln / 2;
  auto* low = static_cast<mp_limb_t*>(arena_allocate(static_cast<std::size_t>(h + sn) *
                                                     sizeof(mp_limb_t)));
  if (low == nullptr) return false;
  std::thread helper;
  try {
    helper = std::thread([=] {
      ordered_product(low, l, h, s, sn);
      release_product_scratch();
    });
  } catch (const std::exception&) {
    arena_free(low);
    return false;
  }
  ordered_product(r + h, l + h, ln - h, s, sn);
  helper.join();
  mpn_copyi(r, low, h);
  [[maybe_unused]] const mp_limb_t carry = mpn_add(r + h, r + h, ln - h + sn, low + h, sn);
  assert(carry == 0);
  arena_free(low);
  return true;
}

}  // namespace

void multiply_on_two_threads(mpz_t r, const mpz_t a, const mpz_t b) {
  const bool a_longer = mpz_size(a) >= mpz_size(b);
  const mpz_srcptr longer = a_longer ? a : b;
  const mpz_srcptr shorter = a_longer ? b : a;
  const auto ln = static_cast<mp_size_t>(mpz_size(longer));
  const auto sn = static_cast<mp_size_t>(mpz_size(shorter));
  if (sn == 0 || static_cast<std::size_t>(ln) < TWO_THREAD_PRODUCT_MIN_LIMBS ||
      !fft_takes(ln, sn)) {
    multiply(r, a, b);
    return;
  }
  mpz_t product;
  mpz_init(product);
  mp_limb_t* out = mpz_limbs_write(product, ln + sn);
  if (!halves_product(out, mpz_limbs_read(longer), ln, mpz_limbs_read(shorter), sn)) {
    mpz_clear(product);
    multiply(r, a, b);
    return;
  }
  const mp_size_t size = out[ln + sn - 1] == 0 ? ln + sn - 1 : ln + sn;
  mpz_limbs_finish(product, mpz_sgn(a) * mpz_sgn(b) < 0 ? -size : size);
  mpz_swap(r, product);
  mpz_clear(product);
}
