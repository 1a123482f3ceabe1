#include "bignum/integer_words.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <exception>
#include <thread>

#include "bignum/conversion_queue.h"
#include "bignum/decimal_tree.h"
#include "bignum/memory_arena.h"
#include "numbers/digit_chars.h"

namespace {

// Below this many digits GMP's own conversion is as quick.
constexpr std::uint64_t TREE_CONVERSION_PLACES = 20000;

void put_word(char* out, Word word) {
  out[0] = static_cast<char>('0' + word / 100000000);
  std::memcpy(out + 1, FOUR_DIGITS.chars[word / 10000 % 10000], 4);
  std::memcpy(out + 5, FOUR_DIGITS.chars[word % 10000], 4);
}

Word read_word(const char* in) {
  Word word = 0;
  for (int i = 0; i < DIGITS_PER_WORD; ++i) word = word * 10 + static_cast<Word>(in[i] - '0');
  return word;
}

// chars[0 .. places) <- the digits of x < 10^places with leading zeros, by GMP.
void plain_digits(const mpz_t x, std::uint64_t places, char* chars) {
  const std::size_t length = mpz_sizeinbase(x, 10);  // exact or one more
  assert(length <= places + 1);
  char* text = chars + (places + 1 - length);  // the buffer holds places + 2 bytes
  mpz_get_str(text, 10, x);
  const std::size_t written = std::strlen(text);
  std::memmove(chars + (places - written), text, written);
  std::memset(chars, '0', places - written);
}

// chars[0 .. places) <- the digits of x < 10^places with leading zeros, through the fraction
// (2x + 1) / (2 10^places): it lies half a unit of the last place away from every decimal cut,
// so its digits by halves are certain. DOUBTFUL only if that reasoning failed.
PieceStatus tree_digits(const mpz_t x, std::uint64_t places, char* chars, unsigned threads) {
  ConversionQueue queue;
  PowerTable powers;
  queue.powers = &powers;
  if (!build_powers(places, &powers)) return PieceStatus::NO_MEMORY;
  const std::size_t limbs = piece_limbs(places);
  DecimalPiece whole;
  whole.places = places;
  whole.out = chars;
  whole.fraction.limbs = static_cast<mp_limb_t*>(bignum_allocate(limbs * sizeof(mp_limb_t)));
  if (whole.fraction.limbs == nullptr) {
    release_powers(&powers);
    return PieceStatus::NO_MEMORY;
  }
  whole.fraction.count = limbs;
  whole.fraction.error = 1;
  {
    mpz_t quotient, power;
    mpz_init(quotient);
    mpz_init(power);
    mpz_mul(power, powers.powers[0], powers.powers[0]);  // 10^(2 floor(places / 2))
    if (places % 2 != 0) mpz_mul_ui(power, power, 10);
    mpz_mul_2exp(quotient, x, 1);
    mpz_add_ui(quotient, quotient, 1);
    mpz_mul_2exp(quotient, quotient, 64 * limbs - 1);
    mpz_tdiv_q(quotient, quotient, power);
    mpz_clear(power);
    const std::size_t size = mpz_size(quotient);
    assert(size <= limbs);
    mpn_zero(whole.fraction.limbs, static_cast<mp_size_t>(limbs));
    if (size > 0) mpn_copyi(whole.fraction.limbs, mpz_limbs_read(quotient), static_cast<mp_size_t>(size));
    mpz_clear(quotient);
  }
  queue_hold(&queue);
  std::thread helper;
  if (threads >= 2) {
    try {
      helper = std::thread([&queue] { convert_queued(&queue, ConversionProgress{}); });
    } catch (const std::exception&) {
      // One thread does it all.
    }
  }
  convert_piece(&queue, whole, ConversionProgress{});
  convert_queued(&queue, ConversionProgress{});
  if (helper.joinable()) helper.join();
  queue_release(&queue);
  release_powers(&powers);
  return queue.status.load();
}

}  // namespace

void words_to_integer(const Word* words, std::int32_t count, mpz_t x, char* chars) {
  const std::int32_t first = first_nonzero_word(words, count);
  if (first == count) {
    mpz_set_ui(x, 0);
    return;
  }
  char* out = chars;
  for (std::int32_t k = first; k < count; ++k, out += DIGITS_PER_WORD) put_word(out, words[k]);
  *out = '\0';
  const int failed = mpz_set_str(x, chars, 10);
  assert(failed == 0);
  (void)failed;
}

void integer_to_words(const mpz_t x, Word* words, std::int32_t count, char* chars,
                      unsigned threads) {
  assert(mpz_sgn(x) >= 0);
  std::int32_t used = 0;  // words from the first that can be non-zero to the last
  if (mpz_sgn(x) != 0) {
    const std::size_t length = mpz_sizeinbase(x, 10);
    used = static_cast<std::int32_t>(
        std::min<std::size_t>(static_cast<std::size_t>(count), (length + DIGITS_PER_WORD - 1) / DIGITS_PER_WORD));
  }
  const std::uint64_t places = static_cast<std::uint64_t>(used) * DIGITS_PER_WORD;
  std::memset(words, 0, static_cast<std::size_t>(count - used) * sizeof(Word));
  if (used == 0) return;
  PieceStatus status = PieceStatus::DOUBTFUL;
  if (places >= TREE_CONVERSION_PLACES) status = tree_digits(x, places, chars, threads);
  if (status != PieceStatus::DONE) plain_digits(x, places, chars);
  Word* out = words + (count - used);
  for (std::int32_t k = 0; k < used; ++k) out[k] = read_word(chars + static_cast<std::size_t>(k) * DIGITS_PER_WORD);
}
