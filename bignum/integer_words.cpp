#include "bignum/integer_words.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <cstddef>
#include <exception>
#include <functional>
#include <thread>

#include "bignum/conversion_queue.h"
#include "bignum/decimal_tree.h"
#include "bignum/memory_arena.h"
#include "numbers/digit_chars.h"

namespace {

// Below this many digits GMP's own conversion is as quick.
constexpr std::uint64_t TREE_CONVERSION_PLACES = 20000;

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

// 10^(9 2^j) for 2^j below a count of words.
struct WordPowers {
  mpz_t power[32];
  int levels = 0;
};

void build_word_powers(WordPowers* powers, std::int32_t count) {
  for (; powers->levels < 31 && (std::int32_t{1} << powers->levels) < count; ++powers->levels) {
    mpz_t& power = powers->power[powers->levels];
    mpz_init(power);
    if (powers->levels == 0) {
      mpz_set_ui(power, WORD_BASE);
    } else {
      mpz_mul(power, powers->power[powers->levels - 1], powers->power[powers->levels - 1]);
    }
  }
}

void release_word_powers(WordPowers* powers) {
  for (int j = 0; j < powers->levels; ++j) mpz_clear(powers->power[j]);
  powers->levels = 0;
}

// Words this short are read one by one.
constexpr std::ptrdiff_t SHORT_WORDS = 32;

// x <- the value of the words [begin, end): the trailing 2^j words (the largest power of two
// below their count) and the rest above them, each by halves again; on a second thread for the
// leading part when `threads` is 2.
void words_value(const Word* begin, const Word* end, const WordPowers& powers, unsigned threads,
                 mpz_t x) {
  const std::ptrdiff_t count = end - begin;
  if (count <= SHORT_WORDS) {
    mpz_set_ui(x, 0);
    for (const Word* word = begin; word < end; ++word) {
      mpz_mul_ui(x, x, WORD_BASE);
      mpz_add_ui(x, x, *word);
    }
    return;
  }
  int level = 0;
  while ((std::ptrdiff_t{2} << level) < count) ++level;
  const Word* split = end - (std::ptrdiff_t{1} << level);
  mpz_t low;
  mpz_init(low);
  std::thread helper;
  if (threads >= 2) {
    try {
      helper = std::thread(words_value, begin, split, std::cref(powers), 1u, x);
    } catch (const std::exception&) {
      // Both parts here.
    }
  }
  words_value(split, end, powers, 1, low);
  if (helper.joinable()) {
    helper.join();
  } else {
    words_value(begin, split, powers, 1, x);
  }
  mpz_mul(x, x, powers.power[level]);
  mpz_add(x, x, low);
  mpz_clear(low);
}

}  // namespace

void words_to_integer(const Word* words, std::int32_t count, mpz_t x, unsigned threads) {
  const std::int32_t first = first_nonzero_word(words, count);
  WordPowers powers;
  build_word_powers(&powers, count - first);
  words_value(words + first, words + count, powers, threads, x);
  release_word_powers(&powers);
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
