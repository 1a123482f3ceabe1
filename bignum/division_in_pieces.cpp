#include "bignum/division_in_pieces.h"

#include <algorithm>
#include <cassert>
#include <cstddef>

bool divide_in_pieces(mpz_t n, mpz_t r, const mpz_t d, const std::atomic<bool>& abandoned) {
  assert(mpz_sgn(n) >= 0 && mpz_sgn(d) > 0);
  const std::size_t size = mpz_size(n);
  const std::size_t piece = mpz_size(d);
  mpz_set_ui(r, 0);
  if (size < piece) {
    mpz_swap(n, r);
    return true;
  }
  // With r < d < 2^(piece limbs) before a piece joins it, each piece's quotient fits the piece's
  // own limbs, which have been read by then.
  mpz_t piece_quotient;
  mpz_init(piece_quotient);
  mp_limb_t* limbs = mpz_limbs_modify(n, static_cast<mp_size_t>(size));
  bool whole = true;
  for (std::size_t at = (size - 1) / piece * piece;; at -= piece) {
    if (abandoned.load(std::memory_order_relaxed)) {
      whole = false;
      break;
    }
    const std::size_t length = std::min(piece, size - at);
    mpz_t part;
    mpz_roinit_n(part, limbs + at, static_cast<mp_size_t>(length));
    mpz_mul_2exp(r, r, static_cast<mp_bitcnt_t>(length) * GMP_NUMB_BITS);
    mpz_add(r, r, part);
    mpz_tdiv_qr(piece_quotient, r, r, d);
    std::fill_n(limbs + at, length, mp_limb_t{0});
    std::copy_n(mpz_limbs_read(piece_quotient), mpz_size(piece_quotient), limbs + at);
    if (at == 0) break;
  }
  mpz_limbs_finish(n, whole ? static_cast<mp_size_t>(size) : 0);
  if (!whole) mpz_set_ui(r, 0);
  mpz_clear(piece_quotient);
  return whole;
}
