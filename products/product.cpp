#include "products/product.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <mutex>

#if defined(TINDERMOSS_HAVE_FLINT)
#include "products/fft_product.h"
#include "products/memory_arena.h"
#include "products/product_tuning.h"

namespace {

// Whether the products go to the FFT: unchosen until the first product asks, then as
// choose_fft_products made it.
enum class Choice { UNMADE, GMP, FFT };
std::atomic<Choice> choice{Choice::UNMADE};

bool fft_chosen() {
  Choice made = choice.load(std::memory_order_acquire);
  if (made == Choice::UNMADE) {
    choose_fft_products(processor_features());
    made = choice.load(std::memory_order_acquire);
  }
  return made == Choice::FFT;
}

std::atomic<std::size_t> scratch_bound{FFT_SCRATCH_MAX_BYTES};
std::atomic<bool> split_allowed{false};
std::atomic<bool> keep_scratch{false};
std::atomic<std::size_t> whole_bytes{0};
// Held by a product past its thread's bound (whole transforms, or a wrapped product in GMP's
// room), so that no two such meet: another thread's waits for it. At 10^7 digits without a
// checkpoint file, the iteration's last step and the conversion's first halving met at 50 to 52
// MB (1.07 to 1.12 times plain GMP's peak) in 0.18 to 0.19 s; one after the other, 44 to 46 MB
// in 0.20 to 0.21 s.
std::mutex past_bound;
thread_local std::size_t thread_scratch_bound = 0;  // 0: the common bound
thread_local unsigned thread_fft_threads = 1;

// The FFT scratch the calling thread may hold now.
std::size_t thread_bound() {
  return thread_scratch_bound != 0 ? thread_scratch_bound : scratch_bound.load();
}

bool fft_fits(mp_size_t product_limbs) {
  return fft_scratch_bytes(static_cast<std::size_t>(product_limbs), thread_fft_threads) <=
         thread_bound();
}

// Whether a product of `an` and `bn` limbs (an >= bn) that the thread's bound would split or leave
// to GMP goes to the FFT's whole transforms instead.
bool whole_fits(mp_size_t an, mp_size_t bn, bool squaring) {
  if (thread_fft_threads != 1 || whole_bytes.load() == 0 || fft_fits(an + bn)) return false;
  const std::size_t scratch = fft_whole_scratch_bytes(an, bn, squaring);
  return scratch != 0 && scratch <= whole_bytes.load();
}

// Halvings by which a product of `an` and `bn` limbs (an >= bn) comes into the FFT's bound: 0 when
// it fits whole, more than KARATSUBA_MAX_LEVELS when it is left to GMP. A long operand is sliced
// (no halving counted), a balanced pair halved.
unsigned halvings_to_fit(mp_size_t an, mp_size_t bn) {
  if (!split_allowed.load()) return fft_fits(an + bn) ? 0 : KARATSUBA_MAX_LEVELS + 1;
  unsigned levels = 0;
  while (!fft_fits(an + bn) && levels <= KARATSUBA_MAX_LEVELS) {
    const mp_size_t h = (an + 1) / 2;
    if (bn <= h) {
      an = h;
    } else {
      an = h + 1;
      bn = h + 1;
      ++levels;
    }
  }
  return levels;
}

void bounded_product(mp_limb_t* r, const mp_limb_t* a, mp_size_t an, const mp_limb_t* b,
                     mp_size_t bn);

// r <- a b for a long operand (bn <= h = ceil(an / 2)): a's halves times b, the upper one added
// in at h.
void sliced_product(mp_limb_t* r, const mp_limb_t* a, mp_size_t an, const mp_limb_t* b,
                    mp_size_t bn, mp_limb_t* upper) {
  const mp_size_t h = (an + 1) / 2;
  bounded_product(r, a, h, b, bn);
  mpn_zero(r + h + bn, an - h);
  bounded_product(upper, a + h, an - h, b, bn);
  [[maybe_unused]] const mp_limb_t carry = mpn_add_n(r + h, r + h, upper, an - h + bn);
  assert(carry == 0);
}

// r <- a b for a balanced pair (h = ceil(an / 2) < bn <= an) by Karatsuba's identity:
// a0 b0 + (s_a s_b - a0 b0 - a1 b1) B^h + a1 b1 B^2h with s_a = a0 + a1, s_b = b0 + b1.
void halved_product(mp_limb_t* r, const mp_limb_t* a, mp_size_t an, const mp_limb_t* b,
                    mp_size_t bn, mp_limb_t* sums) {
  const mp_size_t h = (an + 1) / 2;
  mp_limb_t* sa = sums;
  mp_limb_t* sb = sums + h + 1;
  mp_limb_t* middle = sums + 2 * h + 2;
  sa[h] = mpn_add(sa, a, h, a + h, an - h);
  sb[h] = mpn_add(sb, b, h, b + h, bn - h);
  bounded_product(r, a, h, b, h);
  bounded_product(r + 2 * h, a + h, an - h, b + h, bn - h);
  bounded_product(middle, sa, h + 1, sb, h + 1);
  [[maybe_unused]] mp_limb_t borrow = mpn_sub_n(middle, middle, r, 2 * h);
  borrow = mpn_sub_1(middle + 2 * h, middle + 2 * h, 2, borrow);
  assert(borrow == 0);
  borrow = mpn_sub(middle, middle, 2 * h + 2, r + 2 * h, an + bn - 2 * h);
  assert(borrow == 0);
  // a0 b1 + a1 b0 < B^(an + 1): what lies above is zero.
  assert(std::all_of(middle + an + 1, middle + 2 * h + 2, [](mp_limb_t l) { return l == 0; }));
  [[maybe_unused]] const mp_limb_t carry = mpn_add(r + h, r + h, an + bn - h, middle, an + 1);
  assert(carry == 0);
}

// {r, an + bn} <- {a, an} {b, bn} for an, bn >= 1, r apart from both: the FFT where its scratch
// fits the bound, in slices or Karatsuba's halves where those fit it, GMP's product otherwise or
// where the temporaries cannot be had.
void bounded_product(mp_limb_t* r, const mp_limb_t* a, mp_size_t an, const mp_limb_t* b,
                     mp_size_t bn) {
  if (an < bn) {
    std::swap(a, b);
    std::swap(an, bn);
  }
  assert(bn >= 1);
  if (bn < FFT_PRODUCT_MIN_LIMBS || halvings_to_fit(an, bn) > KARATSUBA_MAX_LEVELS) {
    before_gmp_product(static_cast<std::size_t>(an + bn));
    mpn_mul(r, a, an, b, bn);
    return;
  }
  if (fft_fits(an + bn)) {
    fft_multiply(r, a, an, b, bn, keep_scratch.load());
    return;
  }
  const mp_size_t h = (an + 1) / 2;
  const bool sliced = bn <= h;
  // A slice's product, or the halves' sums and their product.
  const mp_size_t temporary = sliced ? an - h + bn : 4 * h + 4;
  mp_limb_t* t = static_cast<mp_limb_t*>(arena_allocate(temporary * sizeof(mp_limb_t)));
  if (t == nullptr) {
    mpn_mul(r, a, an, b, bn);
    return;
  }
  if (sliced) {
    sliced_product(r, a, an, b, bn, t);
  } else {
    halved_product(r, a, an, b, bn, t);
  }
  arena_free(t);
}

}  // namespace

bool choose_fft_products(const ProcessorFeatures& features) {
  const bool fft = features.avx2 && features.fma;
  if (fft) {
    fft_prepare();
    fft_recombine_by_digits(features.ifma);
  }
  // The FFT's scratch of the calling thread goes with it (this processor has run the FFT).
  if (!fft && choice.load() == Choice::FFT) fft_release_scratch();
  choice.store(fft ? Choice::FFT : Choice::GMP, std::memory_order_release);
  return fft;
}
#else
bool choose_fft_products(const ProcessorFeatures&) { return false; }
#endif

ProcessorFeatures processor_features() {
  ProcessorFeatures features;
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  features.avx2 = __builtin_cpu_supports("avx2") != 0;
  features.fma = __builtin_cpu_supports("fma") != 0;
  features.ifma =
      __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512ifma") != 0;
#endif
  return features;
}

void multiply_limbs(mp_limb_t* r, const mp_limb_t* a, mp_size_t an, const mp_limb_t* b,
                    mp_size_t bn) {
  assert(an >= bn && bn >= 1);
#if defined(TINDERMOSS_HAVE_FLINT)
  if (fft_chosen()) {
    if (bn >= FFT_PRODUCT_MIN_LIMBS && whole_fits(an, bn, a == b && an == bn)) {
      const std::lock_guard<std::mutex> hold(past_bound);
      fft_release_context();  // the scratch the thread keeps, ahead of the product's own
      fft_whole_multiply(r, a, an, b, bn, whole_bytes.load());
      return;
    }
    bounded_product(r, a, an, b, bn);
    return;
  }
#endif
  mpn_mul(r, a, an, b, bn);
}

namespace {

// x <- a b through multiply_limbs; x apart from a and b, neither zero.
void limbs_product(mpz_t x, const mpz_t a, const mpz_t b) {
  const bool a_longer = mpz_size(a) >= mpz_size(b);
  const mpz_srcptr longer = a_longer ? a : b;
  const mpz_srcptr shorter = a_longer ? b : a;
  const auto ln = static_cast<mp_size_t>(mpz_size(longer));
  const auto sn = static_cast<mp_size_t>(mpz_size(shorter));
  mp_limb_t* out = mpz_limbs_write(x, ln + sn);
  multiply_limbs(out, mpz_limbs_read(longer), ln, mpz_limbs_read(shorter), sn);
  const mp_size_t size = out[ln + sn - 1] == 0 ? ln + sn - 1 : ln + sn;
  mpz_limbs_finish(x, mpz_sgn(a) * mpz_sgn(b) < 0 ? -size : size);
}

}  // namespace

void multiply(mpz_t r, const mpz_t a, const mpz_t b) {
  if (!fft_takes(static_cast<mp_size_t>(mpz_size(a)), static_cast<mp_size_t>(mpz_size(b)))) {
    before_gmp_product(mpz_size(a) + mpz_size(b));
    mpz_mul(r, a, b);
    return;
  }
  if (r != a && r != b) {
    limbs_product(r, a, b);
    return;
  }
  mpz_t product;
  mpz_init(product);
  limbs_product(product, a, b);
  mpz_swap(r, product);
  mpz_clear(product);
}

void multiply_add(mpz_t r, const mpz_t a, const mpz_t b) {
  if (!fft_takes(static_cast<mp_size_t>(mpz_size(a)), static_cast<mp_size_t>(mpz_size(b)))) {
    before_gmp_product(mpz_size(a) + mpz_size(b));
    mpz_addmul(r, a, b);
    return;
  }
  // The shorter of r and the product goes into the longer, so that no copy of the longer is made.
  const std::size_t product_limbs = mpz_size(a) + mpz_size(b);
  mpz_t product;
  mpz_init2(product, (product_limbs + 1) * GMP_NUMB_BITS);
  limbs_product(product, a, b);
  if (mpz_size(r) > product_limbs) {
    mpz_add(r, r, product);
  } else {
    mpz_add(product, product, r);
    mpz_swap(r, product);
  }
  mpz_clear(product);
}

bool fft_takes(mp_size_t an, mp_size_t bn) {
#if defined(TINDERMOSS_HAVE_FLINT)
  if (an < bn) std::swap(an, bn);
  return bn >= FFT_PRODUCT_MIN_LIMBS && fft_chosen() &&
         (whole_fits(an, bn, false) || halvings_to_fit(an, bn) <= KARATSUBA_MAX_LEVELS);
#else
  (void)an;
  (void)bn;
  return false;
#endif
}

bool fft_takes_within(mp_size_t an, mp_size_t bn, unsigned halvings) {
#if defined(TINDERMOSS_HAVE_FLINT)
  if (an < bn) std::swap(an, bn);
  return bn >= FFT_PRODUCT_MIN_LIMBS && fft_chosen() &&
         (whole_fits(an, bn, false) || halvings_to_fit(an, bn) <= halvings);
#else
  (void)an;
  (void)bn;
  (void)halvings;
  return false;
#endif
}

bool fft_takes_whole(mp_size_t an, mp_size_t bn) {
#if defined(TINDERMOSS_HAVE_FLINT)
  if (an < bn) std::swap(an, bn);
  return bn >= FFT_PRODUCT_MIN_LIMBS && fft_chosen() &&
         (fft_fits(an + bn) || whole_fits(an, bn, false));
#else
  (void)an;
  (void)bn;
  return false;
#endif
}

#if defined(TINDERMOSS_HAVE_FLINT)
namespace {

// The FFT scratch a product modulo B^n - 1 on the calling thread's one FFT thread may take: the
// thread's bound, or where more, what GMP's wrapped product would take in its place (see
// GMP_WRAPPED_BYTES_PER_LIMB), since that product would leave the route's memory for it.
std::size_t wrapped_allowance(mp_size_t n) {
  return std::max(thread_bound(), GMP_WRAPPED_BYTES_PER_LIMB * static_cast<std::size_t>(n));
}

// Whether the calling thread's FFT takes a product modulo B^n - 1 by whole transforms now, for a
// shorter operand of up to `shorter` limbs (see fft_product.h).
bool wrapped_fft_fits(mp_size_t n, bool squaring, mp_size_t shorter) {
  if (n < WRAPPED_TRANSFORM_MIN_LIMBS || !fft_chosen()) return false;
  if (thread_fft_threads != 1) {
    return fft_wrapped_on_two_threads(n, squaring, shorter, thread_bound());
  }
  const std::size_t scratch_bytes = fft_wrapped_scratch_bytes(n, squaring, shorter);
  return scratch_bytes != 0 && scratch_bytes <= wrapped_allowance(n);
}

}  // namespace
#endif

mp_size_t wrapped_fft_size(mp_size_t at_least, bool squaring, mp_size_t shorter) {
#if defined(TINDERMOSS_HAVE_FLINT)
  if (at_least >= WRAPPED_TRANSFORM_MIN_LIMBS && fft_chosen()) {
    const mp_size_t n = fft_wrapped_size(at_least, shorter);
    if (wrapped_fft_fits(n, squaring, shorter)) return n;
  }
#else
  (void)at_least;
  (void)squaring;
  (void)shorter;
#endif
  return 0;
}

bool wrapped_by_fft(mp_limb_t* sum, mp_size_t n, const mp_limb_t* a, mp_size_t an,
                    const mp_limb_t* b, mp_size_t bn) {
#if defined(TINDERMOSS_HAVE_FLINT)
  static_assert(WRAPPED_FFT_EXTRA_LIMBS == FFT_WRAPPED_EXTRA_LIMBS);
  const bool squaring = a == b && an == bn;
  if (!wrapped_fft_fits(n, squaring, bn)) return false;
  if (thread_fft_threads == 1 && fft_wrapped_scratch_bytes(n, squaring, bn) > thread_bound()) {
    // In GMP's room: the scratch the thread keeps goes first, and this product's after it.
    const std::lock_guard<std::mutex> hold(past_bound);
    fft_release_context();
    fft_wrapped_multiply(sum, n, a, an, b, bn, wrapped_allowance(n), false);
    return true;
  }
  fft_wrapped_multiply(sum, n, a, an, b, bn, thread_bound(), keep_scratch.load());
  return true;
#else
  (void)sum;
  (void)n;
  (void)a;
  (void)an;
  (void)b;
  (void)bn;
  return false;
#endif
}

std::size_t kept_operand_bytes(mp_size_t n, mp_size_t kept_limbs) {
#if defined(TINDERMOSS_HAVE_FLINT)
  if (n >= WRAPPED_TRANSFORM_MIN_LIMBS && fft_chosen() && thread_fft_threads == 1 &&
      fft_wrapped_size(n, kept_limbs) == n &&
      fft_wrapped_scratch_bytes_by_kept(n, kept_limbs) <= thread_bound()) {
    return fft_kept_operand_bytes(n, kept_limbs);
  }
#else
  (void)n;
  (void)kept_limbs;
#endif
  return 0;
}

bool keep_operand([[maybe_unused]] KeptOperand* kept, [[maybe_unused]] mp_size_t n,
                  [[maybe_unused]] const mp_limb_t* b, [[maybe_unused]] mp_size_t bn) {
#if defined(TINDERMOSS_HAVE_FLINT)
  assert(bn >= 1 && bn <= n);
  return kept_operand_bytes(n, bn) != 0 && fft_keep_operand(kept, n, b, bn);
#else
  return false;
#endif
}

void release_kept_operand(KeptOperand* kept) {
#if defined(TINDERMOSS_HAVE_FLINT)
  if (kept->transforms != nullptr) fft_release_kept_operand(kept);
#else
  (void)kept;
#endif
}

bool wrapped_by_kept_fft([[maybe_unused]] mp_limb_t* sum, [[maybe_unused]] mp_size_t n,
                         [[maybe_unused]] const mp_limb_t* a, [[maybe_unused]] mp_size_t an,
                         [[maybe_unused]] const mp_limb_t* b, [[maybe_unused]] mp_size_t bn,
                         [[maybe_unused]] const KeptOperand& kept) {
#if defined(TINDERMOSS_HAVE_FLINT)
  if (kept.transforms == nullptr || kept.n != n || kept.limbs != b || kept.size != bn ||
      thread_fft_threads != 1 || !fft_chosen()) {
    return false;
  }
  const std::size_t scratch_bytes = fft_wrapped_scratch_bytes_by_kept(n, bn);
  if (scratch_bytes > thread_bound()) return false;
  assert(an >= 1 && an <= n);
  fft_wrapped_multiply_by_kept(sum, n, a, an, kept, scratch_bytes, keep_scratch.load());
  return true;
#else
  return false;
#endif
}

std::size_t kept_product_scratch_bytes([[maybe_unused]] mp_size_t n,
                                       [[maybe_unused]] mp_size_t kept_limbs) {
#if defined(TINDERMOSS_HAVE_FLINT)
  return fft_wrapped_scratch_bytes_by_kept(n, kept_limbs);
#else
  return 0;
#endif
}

std::size_t thread_fft_scratch_bound() {
#if defined(TINDERMOSS_HAVE_FLINT)
  return thread_bound();
#else
  return 0;
#endif
}

void set_product_bounds(const ProductBounds& bounds) {
#if defined(TINDERMOSS_HAVE_FLINT)
  scratch_bound.store(bounds.fft_scratch_bytes);
  split_allowed.store(bounds.split);
  keep_scratch.store(bounds.keep_scratch);
  whole_bytes.store(bounds.whole_transforms_bytes);
#else
  (void)bounds;
#endif
}

void set_thread_alone(std::size_t fft_scratch_bytes, unsigned threads) {
#if defined(TINDERMOSS_HAVE_FLINT)
  thread_scratch_bound = fft_scratch_bytes;
  if (threads >= 2 && fft_chosen() && fft_pool_ready()) {
    fft_set_threads(2);
    thread_fft_threads = 2;
  }
#else
  (void)fft_scratch_bytes;
  (void)threads;
#endif
}

void end_thread_alone() {
#if defined(TINDERMOSS_HAVE_FLINT)
  if (thread_scratch_bound != 0) release_product_scratch();
  thread_scratch_bound = 0;
  if (thread_fft_threads != 1) fft_set_threads(1);
  thread_fft_threads = 1;
#endif
}

std::size_t product_scratch_bytes(const ProductBounds& bounds, unsigned threads,
                                  std::size_t largest_product_limbs) {
#if defined(TINDERMOSS_HAVE_FLINT)
  if (fft_chosen()) {
    // The FFT's scratch within the bound, and where a product is split, the temporaries of its
    // slices and halves: the product's limbs at the first halving, half as many at the next
    // (and a slice's product at most as many), under twice the product's limbs in all.
    const std::size_t bound = bounds.fft_scratch_bytes;
    const std::size_t fft = std::min(bound, fft_scratch_bytes(largest_product_limbs));
    const std::size_t whole_limbs =
        bound > FFT_CONTEXT_BYTES ? (bound - FFT_CONTEXT_BYTES) / FFT_SCRATCH_BYTES_PER_LIMB : 0;
    const std::size_t split_limbs =
        std::min(largest_product_limbs, bounds.split ? whole_limbs << KARATSUBA_MAX_LEVELS : 0);
    const std::size_t parts = split_limbs > whole_limbs ? 2 * split_limbs * sizeof(mp_limb_t) : 0;
    return threads * (fft + parts);
  }
#else
  (void)bounds;
  (void)threads;
  (void)largest_product_limbs;
#endif
  return 0;
}

void before_gmp_product(std::size_t limbs) {
#if defined(TINDERMOSS_HAVE_FLINT)
  if (limbs >= GMP_PRODUCT_RELEASES_FFT_LIMBS && choice.load() == Choice::FFT) {
    fft_release_context();
  }
#else
  (void)limbs;
#endif
}

void release_product_scratch() {
#if defined(TINDERMOSS_HAVE_FLINT)
  if (fft_chosen()) fft_release_scratch();
#endif
}
