#include "radix/integer_words.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <exception>
#include <latch>
#include <thread>

#include "products/bit_counts.h"
#include "products/division.h"
#include "products/memory_arena.h"
#include "products/product.h"
#include "radix/conversion_queue.h"
#include "radix/decimal_tree.h"

namespace {

// Below this many digits GMP's own conversion is as quick.
constexpr std::uint64_t TREE_CONVERSION_PLACES = 20000;
// Two numbers of at least this many limbs (from about 8 10^7 digits) have their whole pieces made
// one after the other, not side by side: each takes about five times its number's size (its
// fraction's product and the parts of that product), which set a save's peak. Measured: at 10^9
// digits 7.66 GB side by side against 7.35 GB for the blocks; at 10^8, q after 30 and 45 s, 726
// and 746 MB side by side in 12.8 and 11.1 s, 703 and 700 MB apart in 13.8 and 12.2 s.
constexpr std::size_t WHOLE_PIECES_APART_LIMBS = std::size_t{1} << 22;

// The reciprocal of 2 10^places for `conversion`, whose powers are built: Newton's over the
// quick products, with the divisor D (of s bits) moved up to p = GMP_NUMB_BITS L bits, since
// 2^(2p) / (D 2^(p-s)) = B^L 2^s / D; less RECIPROCAL_MAX_ERROR, it is at most the floor of that.
void prepare_reciprocal(WordConversion* conversion) {
  const PowerTable& powers = conversion->powers;
  mpz_t divisor;
  mpz_init(divisor);
  multiply(divisor, powers.powers[0], powers.powers[0]);  // 10^(2 floor(places / 2))
  if (conversion->places % 2 != 0) mpz_mul_ui(divisor, divisor, 10);
  mpz_mul_2exp(divisor, divisor, 1);
  conversion->shift = mpz_sizeinbase(divisor, 2);
  const auto bits = static_cast<mp_bitcnt_t>(GMP_NUMB_BITS * piece_limbs(conversion->places));
  assert(bits > conversion->shift);
  mpz_mul_2exp(divisor, divisor, bits - conversion->shift);
  mpz_init(conversion->reciprocal);
  approximate_reciprocal(conversion->reciprocal, divisor, bits);
  mpz_sub_ui(conversion->reciprocal, conversion->reciprocal, RECIPROCAL_MAX_ERROR);
  mpz_clear(divisor);
}

// One integer of a tree conversion: x, whose digits go to words[0 .. places / 9) with leading
// zeros. Its first `zeros` digits are known to be zeros: the pieces of those alone, whose
// fractions would be too near zero for their digits to be certain, are not converted.
struct TreeNumber {
  mpz_srcptr x = nullptr;
  Word* words = nullptr;
  std::uint64_t zeros = 0;
};

// The whole piece of `number`: the fraction (2x + 1) / (2 10^places), which lies half a unit of
// the last place away from every decimal cut, so that its digits by halves are certain (DOUBTFUL
// only if that reasoning failed). (2x + 1) / 2^s is below one, so the reciprocal's shortfall
// (under 2 RECIPROCAL_MAX_ERROR + 1 units), R's limbs left out (see below) and the product's
// truncations (under three) leave the fraction below the value by less than WHOLE_PIECE_ERROR
// units of B^-L.
constexpr std::uint64_t WHOLE_PIECE_ERROR = 2 * RECIPROCAL_MAX_ERROR + 4;
PieceStatus whole_piece(const TreeNumber& number, const WordConversion& conversion,
                        DecimalPiece* whole) {
  const std::uint64_t places = conversion.places;
  const std::size_t limbs = piece_limbs(places);
  whole->places = places;
  whole->out.words = number.words;
  whole->known_zeros = number.zeros;
  whole->fraction.limbs = static_cast<mp_limb_t*>(arena_allocate(limbs * sizeof(mp_limb_t)));
  if (whole->fraction.limbs == nullptr) return PieceStatus::NO_MEMORY;
  whole->fraction.count = limbs;
  whole->fraction.error = WHOLE_PIECE_ERROR;
  // x R / 2^(s-1) and R / 2^s, each truncated, add up to (2x + 1) R / 2^s truncated or one
  // less: no copy of x is made, and the product is cut down where it lies. As x < 10^(places -
  // zeros) and 2^(s-1) >= 10^places, R's limbs below B^c, c GMP_NUMB_BITS <= zeros log2(10) - 2,
  // move x R / 2^(s-1) by less than a quarter of a unit: they are left out, so that the product
  // takes about x's length of R, not the whole's.
  const double cut_bits = std::floor(static_cast<double>(number.zeros) * BITS_PER_DIGIT) - 2;
  const auto cut = static_cast<mp_size_t>(std::max(cut_bits, 0.0) / GMP_NUMB_BITS);
  const auto reciprocal_limbs = static_cast<mp_size_t>(mpz_size(conversion.reciprocal));
  assert(cut < reciprocal_limbs);
  mpz_t top_of_reciprocal;  // (read only, R's own limbs)
  mpz_roinit_n(top_of_reciprocal, mpz_limbs_read(conversion.reciprocal) + cut,
               reciprocal_limbs - cut);
  mpz_t fraction;
  mpz_init(fraction);
  multiply(fraction, number.x, top_of_reciprocal);
  mpz_tdiv_q_2exp(fraction, fraction,
                  conversion.shift - 1 - static_cast<mp_bitcnt_t>(cut) * GMP_NUMB_BITS);
  mpz_t half_unit;
  mpz_init(half_unit);
  mpz_tdiv_q_2exp(half_unit, conversion.reciprocal, conversion.shift);
  mpz_add(fraction, fraction, half_unit);
  mpz_clear(half_unit);
  const std::size_t size = mpz_size(fraction);
  assert(size <= limbs);
  mpn_zero(whole->fraction.limbs, static_cast<mp_size_t>(limbs));
  if (size > 0)
    mpn_copyi(whole->fraction.limbs, mpz_limbs_read(fraction), static_cast<mp_size_t>(size));
  mpz_clear(fraction);
  return PieceStatus::DONE;
}

// The known zeros' words of `number`: zeroed before any leaf that reaches into them stores or adds
// there.
void zero_known_words(const TreeNumber& number) {
  const std::uint64_t zero_words = (number.zeros + DIGITS_PER_WORD - 1) / DIGITS_PER_WORD;
  std::memset(number.words, 0, zero_words * sizeof(Word));
}

// A thread's share of a tree conversion whose numbers' whole pieces are made side by side: the
// whole pieces of numbers[first], numbers[first + stride], ..., then any queued piece.
void convert_share(ConversionQueue* queue, const WordConversion& conversion,
                   const TreeNumber* numbers, int count, int first, int stride) {
  for (int k = first; k < count; k += stride) {
    DecimalPiece whole;
    const PieceStatus status = whole_piece(numbers[k], conversion, &whole);
    if (status != PieceStatus::DONE) queue_fail(queue, status);
    zero_known_words(numbers[k]);
    convert_piece(queue, whole, ConversionProgress{});  // (which also ends its hold)
  }
  convert_queued(queue, ConversionProgress{});
}

// Number `number`'s whole piece and its first halving, made while no other thread multiplies,
// with the conversion's lone FFT scratch and threads: the halving's product, the largest of the
// conversion (modulo B^n - 1 for n the whole fraction's limbs), then goes to the FFT's whole
// transforms, which take about 3.5 times the number's size on one thread and a little more on two.
// Its halves go to *leading (places 0 where none is formed) and *trailing, for the caller to queue
// and convert once the other threads may multiply again.
PieceStatus begin_alone(ConversionQueue* queue, const WordConversion& conversion,
                        const TreeNumber& number, DecimalPiece* leading, DecimalPiece* trailing) {
  *leading = DecimalPiece{};
  *trailing = DecimalPiece{};
  DecimalPiece whole;
  set_thread_alone(conversion.lone_fft_scratch_bytes, conversion.lone_threads);
  PieceStatus status = whole_piece(number, conversion, &whole);
  end_thread_alone();
  zero_known_words(number);
  if (status == PieceStatus::DONE && whole.places <= LEAF_PLACES) {
    *trailing = whole;
    return status;
  }
  if (status == PieceStatus::DONE) status = take_leading_half(whole, leading);
  if (status == PieceStatus::DONE) {
    set_thread_alone(conversion.lone_fft_scratch_bytes, conversion.lone_threads);
    status = trailing_half(whole, *queue->powers, &queue->kept_powers, trailing);
    end_thread_alone();
  }
  release_piece(&whole);
  if (status != PieceStatus::DONE) release_piece(leading);
  return status;
}

// The words of `count` numbers through `conversion`, their pieces shared by `threads` threads
// (1 or 2): a thread that has finished its own numbers' pieces takes the others'. Where the
// conversion makes its numbers' whole pieces apart, or has lone FFT scratch and one thread or one
// number to convert, the first thread makes every whole piece and its first halving alone (see
// begin_alone) while the other waits; otherwise each thread makes its own numbers' whole pieces
// side by side. A failure of any piece fails them all.
PieceStatus tree_words(const TreeNumber* numbers, int count, const WordConversion& conversion,
                       unsigned threads) {
  ConversionQueue queue;
  queue.powers = &conversion.powers;
  queue.kept_powers.most_bytes = kept_powers_bytes(conversion.places);
  for (int k = 0; k < count; ++k) queue_hold(&queue);
  const bool alone = conversion.whole_pieces_apart ||
                     (conversion.lone_fft_scratch_bytes > 0 && (threads < 2 || count == 1));
  std::latch begun(1);
  std::thread helper;
  if (threads >= 2) {
    try {
      helper = std::thread([&] {
        if (alone) {
          begun.wait();
          convert_queued(&queue, ConversionProgress{});
        } else {
          convert_share(&queue, conversion, numbers, count, 1, 2);
        }
        release_product_scratch();
      });
    } catch (const std::exception&) {
      // One thread does it all.
    }
  }
  if (!alone) {
    convert_share(&queue, conversion, numbers, count, 0, helper.joinable() ? 2 : 1);
  } else {
    DecimalPiece leading[MAX_NUMBERS_TO_WORDS];
    DecimalPiece trailing[MAX_NUMBERS_TO_WORDS];
    for (int k = 0; k < count; ++k) {
      const PieceStatus status =
          begin_alone(&queue, conversion, numbers[k], &leading[k], &trailing[k]);
      if (status != PieceStatus::DONE) queue_fail(&queue, status);
    }
    for (int k = 0; k < count; ++k) {
      if (leading[k].places > 0) queue_add(&queue, leading[k]);
    }
    begun.count_down();
    for (int k = 0; k < count; ++k) convert_piece(&queue, trailing[k], ConversionProgress{});
    convert_queued(&queue, ConversionProgress{});
  }
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

// words[0 .. count) <- the base-10^9 digits of x < 10^(9 count) by GMP's divisions: the trailing
// 2^j words (the largest power of two below count) from the remainder by 10^(9 2^j), the rest from
// the quotient. The way when the quick conversion cannot be had: it needs no buffer of characters.
void words_by_division(const mpz_t x, Word* words, std::int32_t count, const WordPowers& powers) {
  if (count <= SHORT_WORDS) {
    mpz_t rest;
    mpz_init_set(rest, x);
    for (std::int32_t k = count; k-- > 0;) {
      words[k] = static_cast<Word>(mpz_tdiv_q_ui(rest, rest, WORD_BASE));
    }
    mpz_clear(rest);
    return;
  }
  int level = 0;
  while ((std::int32_t{2} << level) < count) ++level;
  const std::int32_t low = std::int32_t{1} << level;
  mpz_t quotient, remainder;
  mpz_inits(quotient, remainder, nullptr);
  mpz_tdiv_qr(quotient, remainder, x, powers.power[level]);
  words_by_division(quotient, words, count - low, powers);
  mpz_clear(quotient);
  words_by_division(remainder, words + (count - low), low, powers);
  mpz_clear(remainder);
}

// The same for each of `numbers` integers.
void numbers_by_division(const mpz_srcptr* x, Word* const* words, int numbers, std::int32_t count) {
  WordPowers powers;
  build_word_powers(&powers, count);
  for (int k = 0; k < numbers; ++k) words_by_division(x[k], words[k], count, powers);
  release_word_powers(&powers);
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
  conversion->whole_pieces_apart = piece_limbs(conversion->places) >= WHOLE_PIECES_APART_LIMBS;
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

void integer_to_words(const mpz_t x, Word* words, std::int32_t count, unsigned threads,
                      const WordConversion* prepared) {
  assert(mpz_sgn(x) >= 0);
  if (prepared != nullptr && prepared->ready && prepared->count == count) {
    integers_to_words(&x, &words, 1, count, threads, *prepared);
    return;
  }
  if (mpz_sgn(x) == 0) {
    std::memset(words, 0, static_cast<std::size_t>(count) * sizeof(Word));
    return;
  }
  // The words the integer fills, converted on their own; zeros above them.
  const std::int32_t used = static_cast<std::int32_t>(
      std::min<std::size_t>(static_cast<std::size_t>(count),
                            (mpz_sizeinbase(x, 10) + DIGITS_PER_WORD - 1) / DIGITS_PER_WORD));
  std::memset(words, 0, static_cast<std::size_t>(count - used) * sizeof(Word));
  WordConversion own;
  if (prepare_word_conversion(used, &own)) {
    integers_to_words(&x, &words, 1, count, threads, own);
    release_word_conversion(&own);
  } else {
    numbers_by_division(&x, &words, 1, count);
  }
}

void integers_to_words(const mpz_srcptr* x, Word* const* words, int numbers, std::int32_t count,
                       unsigned threads, const WordConversion& prepared) {
  assert(prepared.ready && prepared.count <= count && numbers <= MAX_NUMBERS_TO_WORDS);
  // The prepared conversion gives the last prepared.count words; zeros above them.
  const std::int32_t above = count - prepared.count;
  TreeNumber tree[MAX_NUMBERS_TO_WORDS];
  mpz_srcptr in_tree_x[MAX_NUMBERS_TO_WORDS];
  Word* in_tree_words[MAX_NUMBERS_TO_WORDS];
  int in_tree = 0;
  for (int k = 0; k < numbers; ++k) {
    assert(mpz_sgn(x[k]) >= 0);
    std::memset(words[k], 0, static_cast<std::size_t>(above) * sizeof(Word));
    if (mpz_sgn(x[k]) == 0) {
      std::memset(words[k] + above, 0, static_cast<std::size_t>(prepared.count) * sizeof(Word));
      continue;
    }
    const std::size_t length = mpz_sizeinbase(x[k], 10);  // exact or one more
    tree[in_tree].x = in_tree_x[in_tree] = x[k];
    tree[in_tree].words = in_tree_words[in_tree] = words[k] + above;
    tree[in_tree].zeros = length < prepared.places ? prepared.places - length : 0;
    ++in_tree;
  }
  if (in_tree > 0 && tree_words(tree, in_tree, prepared, threads) != PieceStatus::DONE) {
    numbers_by_division(in_tree_x, in_tree_words, in_tree, prepared.count);
  }
}
