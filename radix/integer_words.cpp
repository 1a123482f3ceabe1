#include "radix/integer_words.h"

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstring>
#include <exception>
#include <thread>

#include "products/division.h"
#include "products/memory_arena.h"
#include "products/product.h"
#include "radix/conversion_queue.h"
#include "radix/decimal_tree.h"

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
  std::memset(chars, '0', static_cast<std::size_t>(places - written));
}

// The reciprocal of 2 10^places for `conversion`, whose powers are built.
void prepare_reciprocal(WordConversion* conversion) {
  const PowerTable& powers = conversion->powers;
  mpz_t divisor;
  mpz_init(divisor);
  multiply(divisor, powers.powers[0], powers.powers[0]);  // 10^(2 floor(places / 2))
  if (conversion->places % 2 != 0) mpz_mul_ui(divisor, divisor, 10);
  mpz_mul_2exp(divisor, divisor, 1);
  conversion->shift = mpz_sizeinbase(divisor, 2);
  mpz_init_set_ui(conversion->reciprocal, 1);
  mpz_mul_2exp(conversion->reciprocal, conversion->reciprocal,
               static_cast<mp_bitcnt_t>(GMP_NUMB_BITS * piece_limbs(conversion->places) +
                                        conversion->shift));
  mpz_t remainder;
  mpz_init(remainder);
  divide(conversion->reciprocal, remainder, conversion->reciprocal, divisor);
  mpz_clear(remainder);
  mpz_clear(divisor);
}

// chars[0 .. places) <- the digits of x < 10^places with leading zeros, through the fraction
// (2x + 1) / (2 10^places): it lies half a unit of the last place away from every decimal cut,
// so its digits by halves are certain. DOUBTFUL only if that reasoning failed.
PieceStatus tree_digits(const mpz_t x, const WordConversion& conversion, char* chars,
                        unsigned threads) {
  const std::uint64_t places = conversion.places;
  const std::size_t limbs = piece_limbs(places);
  DecimalPiece whole;
  whole.places = places;
  whole.out = chars;
  whole.fraction.limbs = static_cast<mp_limb_t*>(arena_allocate(limbs * sizeof(mp_limb_t)));
  if (whole.fraction.limbs == nullptr) return PieceStatus::NO_MEMORY;
  whole.fraction.count = limbs;
  whole.fraction.error = 2;
  {
    mpz_t fraction;
    mpz_init(fraction);
    mpz_mul_2exp(fraction, x, 1);
    mpz_add_ui(fraction, fraction, 1);
    multiply(fraction, fraction, conversion.reciprocal);
    mpz_tdiv_q_2exp(fraction, fraction, conversion.shift);
    const std::size_t size = mpz_size(fraction);
    assert(size <= limbs);
    mpn_zero(whole.fraction.limbs, static_cast<mp_size_t>(limbs));
    if (size > 0)
      mpn_copyi(whole.fraction.limbs, mpz_limbs_read(fraction), static_cast<mp_size_t>(size));
    mpz_clear(fraction);
  }
  ConversionQueue queue;
  queue.powers = &conversion.powers;
  queue_hold(&queue);
  std::thread helper;
  if (threads >= 2) {
    try {
      helper = std::thread([&queue] {
        convert_queued(&queue, ConversionProgress{});
        release_product_scratch();
      });
    } catch (const std::exception&) {
      // One thread does it all.
    }
  }
  convert_piece(&queue, whole, ConversionProgress{});
  convert_queued(&queue, ConversionProgress{});
  if (helper.joinable()) helper.join();
  queue_release(&queue);
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
      multiply(power, powers->power[powers->levels - 1], powers->power[powers->levels - 1]);
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
      helper = std::thread([&] {
        words_value(begin, split, powers, 1, x);
        release_product_scratch();
      });
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
  multiply(x, x, powers.power[level]);
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

bool prepare_word_conversion(std::int32_t count, WordConversion* conversion) {
  conversion->count = count;
  conversion->places = static_cast<std::uint64_t>(count) * DIGITS_PER_WORD;
  if (conversion->places < TREE_CONVERSION_PLACES) return false;
  if (!build_powers(conversion->places, &conversion->powers)) return false;
  prepare_reciprocal(conversion);
  conversion->ready = true;
  return true;
}

void release_word_conversion(WordConversion* conversion) {
  if (!conversion->ready) return;
  release_powers(&conversion->powers);
  mpz_clear(conversion->reciprocal);
  conversion->ready = false;
}

void integer_to_words(const mpz_t x, Word* words, std::int32_t count, char* chars, unsigned threads,
                      const WordConversion* prepared) {
  assert(mpz_sgn(x) >= 0);
  if (mpz_sgn(x) == 0) {
    std::memset(words, 0, static_cast<std::size_t>(count) * sizeof(Word));
    return;
  }
  const std::size_t length = mpz_sizeinbase(x, 10);  // exact or one more
  std::int32_t used = static_cast<std::int32_t>(std::min<std::size_t>(
      static_cast<std::size_t>(count), (length + DIGITS_PER_WORD - 1) / DIGITS_PER_WORD));
  PieceStatus status = PieceStatus::DOUBTFUL;
  if (prepared != nullptr && prepared->ready && prepared->count == count) {
    // A long run of zeros would leave whole pieces in doubt, and so would leading zeros:
    // x 10^z + floor(10^z / 7) has x's digits first and then 142857..., and they are moved back
    // by z places.
    used = count;
    const std::uint64_t zeros = length < prepared->places ? prepared->places - length : 0;
    mpz_t scaled, filler;
    mpz_init(scaled);
    mpz_init(filler);
    mpz_ui_pow_ui(scaled, 10, static_cast<unsigned long>(zeros));
    mpz_tdiv_q_ui(filler, scaled, 7);
    multiply(scaled, scaled, x);
    mpz_add(scaled, scaled, filler);
    mpz_clear(filler);
    status = tree_digits(scaled, *prepared, chars, threads);
    mpz_clear(scaled);
    if (status == PieceStatus::DONE && zeros > 0) {
      std::memmove(chars + zeros, chars, static_cast<std::size_t>(prepared->places - zeros));
      std::memset(chars, '0', static_cast<std::size_t>(zeros));
    }
  } else {
    WordConversion own;
    if (prepare_word_conversion(used, &own)) {
      status = tree_digits(x, own, chars, threads);
      release_word_conversion(&own);
    }
  }
  const std::uint64_t places = static_cast<std::uint64_t>(used) * DIGITS_PER_WORD;
  if (status != PieceStatus::DONE) plain_digits(x, places, chars);
  std::memset(words, 0, static_cast<std::size_t>(count - used) * sizeof(Word));
  Word* out = words + (count - used);
  for (std::int32_t k = 0; k < used; ++k)
    out[k] = read_word(chars + static_cast<std::size_t>(k) * DIGITS_PER_WORD);
}
