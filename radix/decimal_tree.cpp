#include "radix/decimal_tree.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cassert>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "numbers/digit_chars.h"
#include "numbers/powers_of_ten.h"
#include "products/bit_counts.h"
#include "products/memory_arena.h"
#include "products/middle_product.h"
#include "products/product.h"
#include "products/wrapped_product.h"

namespace {

// Limbs per decimal digit, log(10) / log(B), taken a little high so that
// floor(n LIMBS_PER_DIGIT) >= floor(n log_B 10) survives the rounding for every n < 2^40.
constexpr double LIMBS_PER_DIGIT = BITS_PER_DIGIT / GMP_NUMB_BITS * (1 + 1e-12);
constexpr mp_limb_t LIMB_MAX = ~mp_limb_t{0};
// Digits that one product by a power of ten carries out of a fraction: 10^LIMB_DIGITS < B.
constexpr unsigned LIMB_DIGITS = GMP_NUMB_BITS == 64 ? 19 : 9;
static_assert(GMP_NUMB_BITS == 64 || GMP_NUMB_BITS == 32);

// Halvings below a piece of `places` digits.
std::size_t halvings(std::uint64_t places) {
  std::size_t count = 0;
  for (; places > LEAF_PLACES; places = (places + 1) / 2) ++count;
  return count;
}

mp_limb_t* new_limbs(std::size_t count) {
  return static_cast<mp_limb_t*>(arena_allocate(count * sizeof(mp_limb_t)));
}

bool all_zero(const mp_limb_t* limbs, std::size_t count) {
  for (std::size_t i = count; i-- > 0;) {
    if (limbs[i] != 0) return false;
  }
  return true;
}

// The LIMB_DIGITS digits of value < 10^LIMB_DIGITS, with leading zeros.
void put_limb_digits(char* out, std::uint64_t value) {
  const unsigned top = static_cast<unsigned>(value / POWERS_OF_TEN[LIMB_DIGITS - 3]);
  const std::uint64_t rest = value % POWERS_OF_TEN[LIMB_DIGITS - 3];
  std::memcpy(out, FOUR_DIGITS.chars[top] + 1, 3);
  if constexpr (LIMB_DIGITS == 19) {
    const unsigned high = static_cast<unsigned>(rest / 100000000);
    const unsigned low = static_cast<unsigned>(rest % 100000000);
    std::memcpy(out + 3, FOUR_DIGITS.chars[high / 10000], 4);
    std::memcpy(out + 7, FOUR_DIGITS.chars[high % 10000], 4);
    std::memcpy(out + 11, FOUR_DIGITS.chars[low / 10000], 4);
    std::memcpy(out + 15, FOUR_DIGITS.chars[low % 10000], 4);
  } else {
    const unsigned low = static_cast<unsigned>(rest);
    std::memcpy(out + 3, FOUR_DIGITS.chars[low / 10000] + 2, 2);
    std::memcpy(out + 5, FOUR_DIGITS.chars[low % 10000], 4);
  }
}

}  // namespace

std::size_t piece_limbs(std::uint64_t places) {
  return static_cast<std::size_t>(std::floor(static_cast<double>(places) * LIMBS_PER_DIGIT)) + 2 +
         halvings(places);
}

void power_of_ten(mpz_t r, std::uint64_t exponent) {
  mpz_set_ui(r, 1);
  // The exponent's bits from the top: squared at each, times 5 at each one.
  for (int bit = std::bit_width(exponent); bit-- > 0;) {
    multiply(r, r, r);
    if ((exponent >> bit) & 1) mpz_mul_ui(r, r, 5);
  }
  mpz_mul_2exp(r, r, static_cast<mp_bitcnt_t>(exponent));
}

bool build_powers(std::uint64_t places, PowerTable* table) {
  unsigned levels = 0;
  while ((places >> levels) + 1 > LEAF_PLACES) ++levels;
  table->levels = levels;
  table->whole_places = places;
  table->powers = levels == 0 ? nullptr : new (std::nothrow) mpz_t[levels];
  if (levels > 0 && table->powers == nullptr) return false;
  for (unsigned j = levels; j-- > 0;) {
    const std::uint64_t exponent = places >> (j + 1);
    mpz_init(table->powers[j]);
    if (j + 1 == levels) {
      mpz_ui_pow_ui(table->powers[j], 10, static_cast<unsigned long>(exponent));
    } else {
      multiply(table->powers[j], table->powers[j + 1], table->powers[j + 1]);
      if (exponent % 2 != 0) mpz_mul_ui(table->powers[j], table->powers[j], 10);
    }
  }
  return true;
}

void release_power(PowerTable* table, unsigned level) {
  if (level < table->levels) mpz_realloc2(table->powers[level], 1);
}

std::size_t kept_powers_bytes(std::uint64_t places) { return piece_limbs(places); }

void release_kept_powers(KeptPowers* kept) {
  for (unsigned level = 0; level < MAX_POWER_LEVELS; ++level) {
    release_kept_operand(&kept->power[level]);
    kept->state[level].store(KeptState::NOT_YET);
  }
  kept->bytes.store(0);
}

void release_powers(PowerTable* table) {
  for (unsigned j = 0; j < table->levels; ++j) mpz_clear(table->powers[j]);
  delete[] table->powers;
  table->powers = nullptr;
  table->levels = 0;
}

void clear_shared_word(const DecimalPiece& piece) {
  const std::uint64_t boundary = piece.first + (piece.places + 1) / 2;
  if (piece.out.words == nullptr || boundary % DIGITS_PER_WORD == 0) return;
  piece.out.words[boundary / DIGITS_PER_WORD] = 0;
}

// Leading half (h = ceil(places / 2) digits): the top piece_limbs(h) limbs, truncated, adding at
// most one unit to the error.
PieceStatus leading_half(const DecimalPiece& piece, DecimalPiece* leading) {
  assert(piece.places > LEAF_PLACES);
  const std::uint64_t places = (piece.places + 1) / 2;
  const std::size_t count = piece_limbs(places);
  assert(count <= piece.fraction.count);
  leading->fraction.limbs = new_limbs(count);
  if (leading->fraction.limbs == nullptr) return PieceStatus::NO_MEMORY;
  mpn_copyi(leading->fraction.limbs, piece.fraction.limbs + (piece.fraction.count - count),
            static_cast<mp_size_t>(count));
  leading->fraction.count = count;
  leading->fraction.error = piece.fraction.error + (count < piece.fraction.count ? 1 : 0);
  leading->places = places;
  leading->out = piece.out;
  leading->first = piece.first;
  leading->level = piece.level + 1;
  leading->known_zeros = piece.known_zeros;
  return PieceStatus::DONE;
}

namespace {

// The trailing half's fraction, frac(f 10^h) truncated to `kept` limbs, into `out`, from the
// product's residue modulo (B^n - 1), n >= count. That residue is the low `count` limbs of the
// product plus its integer part, which is below 10^h (B^limbs(10^h)) and so adds at most one unit
// below the kept top limbs: one is taken off, and the error grows by that unit and the truncation.
// An integer part that wraps the residue round leaves the kept limbs zero: DOUBTFUL. The
// fraction's high zero limbs (a piece reaching into the whole's known zeros) are left out of the
// product, down to what the wrapped product needs of its operands.
// The level's kept power for a product of size n by `power`: made here if the level
// has none yet and it fits what is left; null while another thread makes it, or where the level
// keeps none.
const KeptOperand* kept_power(KeptPowers* kept, unsigned level, mp_size_t n, const mpz_t power) {
  if (kept == nullptr || level >= MAX_POWER_LEVELS) return nullptr;
  KeptState state = kept->state[level].load(std::memory_order_acquire);
  if (state == KeptState::READY) return &kept->power[level];
  if (state != KeptState::NOT_YET ||
      !kept->state[level].compare_exchange_strong(state, KeptState::MAKING)) {
    return nullptr;
  }
  const std::size_t bytes = kept_operand_bytes(n, static_cast<mp_size_t>(mpz_size(power)));
  bool made = false;
  if (bytes != 0 && bytes <= kept->most_bytes / 2) {
    if (kept->bytes.fetch_add(bytes) + bytes <= kept->most_bytes) {
      made = keep_operand(&kept->power[level], n, mpz_limbs_read(power),
                          static_cast<mp_size_t>(mpz_size(power)));
    }
    if (!made) kept->bytes.fetch_sub(bytes);
  }
  kept->state[level].store(made ? KeptState::READY : KeptState::NONE, std::memory_order_release);
  return made ? &kept->power[level] : nullptr;
}

PieceStatus trailing_by_wrapped_product(const DecimalPiece& piece, const mpz_t power,
                                        bool times_ten, std::size_t kept, KeptPowers* kept_powers,
                                        BoundedFraction* out) {
  const std::size_t count = piece.fraction.count;
  const mp_limb_t* a = piece.fraction.limbs;
  const mp_limb_t* b = mpz_limbs_read(power);
  mp_size_t an = static_cast<mp_size_t>(count);
  mp_size_t bn = static_cast<mp_size_t>(mpz_size(power));
  // The power has about half the fraction's limbs: sizes for that shorter operand are smaller.
  const mp_size_t n = wrapped_size(an, false, std::min(an, bn));
  while (an > 1 && a[an - 1] == 0 && an - 1 + bn > n / 2) --an;
  if (an < bn) {
    std::swap(a, b);
    std::swap(an, bn);
  }
  mp_limb_t* product = new_limbs(static_cast<std::size_t>(n + wrapped_scratch_limbs(n)));
  if (product == nullptr) return PieceStatus::NO_MEMORY;
  const KeptOperand* power_kept =
      b == mpz_limbs_read(power) ? kept_power(kept_powers, piece.level, n, power) : nullptr;
  wrapped_multiply(product, n, a, an, b, bn, product + n, power_kept);
  if (times_ten) mpn_mul_1(product, product, static_cast<mp_size_t>(count), 10);
  mp_limb_t* top = product + (count - kept);
  const bool wrapped = all_zero(top, kept);
  if (!wrapped) {
    mpn_sub_1(top, top, static_cast<mp_size_t>(kept), 1);
    mpn_copyi(out->limbs, top, static_cast<mp_size_t>(kept));
    out->error += 2;
  }
  arena_free(product);
  return wrapped ? PieceStatus::DOUBTFUL : PieceStatus::DONE;
}

// The same from the middle product: its low limbs, placed from limb m - 1 up (m the power's
// limbs), are the product's low `count` limbs but for the terms left out, below (m - 1) B^m, that
// is below m - 1 units of the kept limbs (times ten where the fraction is taken ten times): the
// error grows by those and the truncation.
PieceStatus trailing_by_middle_product(const DecimalPiece& piece, const mpz_t power, bool times_ten,
                                       std::size_t kept, BoundedFraction* out) {
  const std::size_t count = piece.fraction.count;
  const std::size_t m = mpz_size(power);
  const std::size_t low = count - (m - 1);  // the middle's limbs below B^count
  mp_limb_t* middle = new_limbs(low + 2);
  if (middle == nullptr) return PieceStatus::NO_MEMORY;
  middle_product(middle, piece.fraction.limbs, static_cast<mp_size_t>(count), mpz_limbs_read(power),
                 static_cast<mp_size_t>(m));
  if (times_ten) mpn_mul_1(middle, middle, static_cast<mp_size_t>(low), 10);
  mpn_copyi(out->limbs, middle + (low - kept), static_cast<mp_size_t>(kept));
  out->error += 1 + (times_ten ? 10 : 1) * (m - 1);
  arena_free(middle);
  return PieceStatus::DONE;
}

}  // namespace

// Trailing half: frac(f 10^h), by the wrapped or the middle product, whichever is quicker. The
// power is 10^(h-1) when the leading half has one digit more than its exponent; the fraction times
// ten is the one wanted, with the integer part's share below 10^h still. The error grows by what
// the product adds; a piece whose product leaves it in doubt is reported doubtful.
PieceStatus trailing_half(const DecimalPiece& piece, const PowerTable& table,
                          KeptPowers* kept_powers, DecimalPiece* trailing) {
  assert(piece.places > LEAF_PLACES && piece.level < table.levels);
  const std::uint64_t leading_places = (piece.places + 1) / 2;
  const std::uint64_t places = piece.places - leading_places;
  const mpz_t& power = table.powers[piece.level];
  const std::size_t count = piece.fraction.count;
  const std::size_t kept = piece_limbs(places);
  assert(kept + mpz_size(power) <= count);
  const std::uint64_t exponent = table.whole_places >> (piece.level + 1);
  assert(leading_places == exponent || leading_places == exponent + 1);
  const bool times_ten = leading_places != exponent;
  trailing->fraction.limbs = new_limbs(kept);
  if (trailing->fraction.limbs == nullptr) return PieceStatus::NO_MEMORY;
  trailing->fraction.count = kept;
  trailing->fraction.error = piece.fraction.error;
  const PieceStatus status =
      middle_product_quicker(static_cast<mp_size_t>(count))
          ? trailing_by_middle_product(piece, power, times_ten, kept, &trailing->fraction)
          : trailing_by_wrapped_product(piece, power, times_ten, kept, kept_powers,
                                        &trailing->fraction);
  if (status != PieceStatus::DONE) {
    release_piece(trailing);
    return status;
  }
  trailing->places = places;
  trailing->out = piece.out;
  trailing->first = piece.first + leading_places;
  trailing->level = piece.level + 1;
  trailing->known_zeros = piece.known_zeros;
  return PieceStatus::DONE;
}

// The digits[0 .. count) of the whole's digits from `first` on into `out`.
void put_digits(const DigitsOut& out, std::uint64_t first, const char* digits,
                std::uint64_t count) {
  if (out.chars != nullptr) {
    std::memcpy(out.chars + first, digits, static_cast<std::size_t>(count));
    return;
  }
  const std::uint64_t end = first + count;
  for (std::uint64_t k = first; k < end;) {
    const std::uint64_t word = k / DIGITS_PER_WORD;
    const std::uint64_t word_end = std::min(end, (word + 1) * DIGITS_PER_WORD);
    Word value = 0;
    for (std::uint64_t i = k; i < word_end; ++i) {
      value = value * 10 + static_cast<Word>(digits[i - first] - '0');
    }
    value *= static_cast<Word>(POWERS_OF_TEN[(word + 1) * DIGITS_PER_WORD - word_end]);
    if (k == word * DIGITS_PER_WORD && word_end == (word + 1) * DIGITS_PER_WORD) {
      out.words[word] = value;  // this leaf's alone
    } else {
      std::atomic_ref<Word>(out.words[word]).fetch_add(value, std::memory_order_relaxed);
    }
    k = word_end;
  }
}

// LIMB_DIGITS digits at a time: the carry out of f * 10^LIMB_DIGITS is the next LIMB_DIGITS
// digits, f keeps the rest.
// The digits are certain when f + error 10^places stays below 1 at the end; as
// 10^places < B^(count-1), a top limb below B - 1 - error is enough.
PieceStatus convert_leaf(DecimalPiece* piece) {
  assert(piece->places <= LEAF_PLACES);
  mp_limb_t* f = piece->fraction.limbs;
  const mp_size_t count = static_cast<mp_size_t>(piece->fraction.count);
  char digits[LEAF_PLACES + LIMB_DIGITS];
  constexpr mp_limb_t STEP = static_cast<mp_limb_t>(POWERS_OF_TEN[LIMB_DIGITS]);
  std::uint64_t done = 0;
  for (; piece->places - done >= LIMB_DIGITS; done += LIMB_DIGITS) {
    put_limb_digits(digits + done, mpn_mul_1(f, f, count, STEP));
  }
  const std::uint64_t left = piece->places - done;
  if (left > 0) {
    char last[LIMB_DIGITS];
    put_limb_digits(last, mpn_mul_1(f, f, count, static_cast<mp_limb_t>(POWERS_OF_TEN[left])));
    std::memcpy(digits + done, last + (LIMB_DIGITS - left), static_cast<std::size_t>(left));
  }
  const bool certain = f[count - 1] <= LIMB_MAX - piece->fraction.error;
  if (certain) put_digits(piece->out, piece->first, digits, piece->places);
  release_piece(piece);
  return certain ? PieceStatus::DONE : PieceStatus::DOUBTFUL;
}

void release_piece(DecimalPiece* piece) { release_fraction(&piece->fraction); }
