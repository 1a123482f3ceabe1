#include "products/middle_product.h"

#include <cassert>

#include "products/product_tuning.h"

#if TINDERMOSS_GMP_WRAPPED_PRODUCT
// GMP's own, from its internal interface (unchanged from GMP 5.1 to 6.3); the build checks that it
// links, and the tests check it against full products.
extern "C" void __gmpn_mulmid(mp_ptr rp, mp_srcptr ap, mp_size_t an, mp_srcptr bp, mp_size_t bn);

bool middle_product_quicker(mp_size_t un) { return un < MIDDLE_PRODUCT_MAX_LIMBS; }

void middle_product(mp_limb_t* r, const mp_limb_t* u, mp_size_t un, const mp_limb_t* v,
                    mp_size_t vn) {
  assert(un >= vn && vn >= 1);
  __gmpn_mulmid(r, u, un, v, vn);
}

#else

bool middle_product_quicker(mp_size_t) { return false; }

void middle_product(mp_limb_t*, const mp_limb_t*, mp_size_t, const mp_limb_t*, mp_size_t) {
  assert(false && "middle products are not native in this build");
}

#endif
