// The decimal digits of a binary fraction, by halves: the first h digits of f are those of f
// itself and the rest those of frac(f 10^h), so a piece splits into a leading half (its top limbs)
// and a trailing half (one wrapped product by a power of ten), down to short pieces that give
// their digits nineteen at a time. Every piece carries a bound on its error, and a piece whose
// digits that bound leaves in doubt says so instead of guessing.
#pragma once

#include <gmp.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "numbers/fixed_decimal.h"
#include "products/product.h"
#include "radix/bounded_fraction.h"

// Pieces of at most this many digits are converted directly.
inline constexpr std::uint64_t LEAF_PLACES = 400;

// Where a conversion's digits go: digit k of the whole to chars[k], or into base-10^9 words as the
// (k % 9)-th of the nine digits of words[k / 9]. A leaf stores the words that are its own and adds
// its digits into the word it shares with a neighbour, which clear_shared_word zeroes first (and
// the caller the words of the whole's known zeros).
struct DigitsOut {
  char* chars = nullptr;
  Word* words = nullptr;
};

struct DecimalPiece {
  BoundedFraction fraction;    // owned
  std::uint64_t places = 0;    // its first `places` decimals are wanted
  DigitsOut out;               // and go there
  std::uint64_t first = 0;     // as the whole's digits from `first` on
  unsigned level = 0;          // halvings above it
  bool leading_given = false;  // its leading half comes separately
  // The whole's digits before this are zeros, known without converting them: leading halves of
  // those only are not formed, and their words are the caller's to zero.
  std::uint64_t known_zeros = 0;
};

enum class PieceStatus { DONE, DOUBTFUL, NO_MEMORY };

// The limbs a piece of `places` digits has: enough for the digits, a guard limb, and a limb for
// each halving below it.
std::size_t piece_limbs(std::uint64_t places);

// The powers of ten the halvings use: power j = 10^(places >> (j+1)) at level j, where pieces have
// (places >> j) or one digit more and their leading halves are that power's exponent or one more.
struct PowerTable {
  mpz_t* powers = nullptr;
  unsigned levels = 0;
  std::uint64_t whole_places = 0;
};

// r <- 10^exponent: 5^exponent by squarings over the products of product.h, shifted (GMP's own
// power, whose squarings are its own, takes about three times as long from a million digits on).
void power_of_ten(mpz_t r, std::uint64_t exponent);

// Builds the table for a whole of `places` digits. Returns false when memory is short.
bool build_powers(std::uint64_t places, PowerTable* table);
void release_power(PowerTable* table, unsigned level);  // once no piece of that level remains
void release_powers(PowerTable* table);

// The levels' powers kept in the FFT's transforms for their trailing halves' products (see
// KeptOperand): a level's is made by the first of its pieces to need it, while another is being
// made the piece multiplies as usual, and the pieces after share it. Only levels whose power takes
// at most half of `most_bytes` keep theirs, so that all of them stay within it.
inline constexpr unsigned MAX_POWER_LEVELS = 48;
enum class KeptState { NOT_YET, MAKING, READY, NONE };
struct KeptPowers {
  std::atomic<KeptState> state[MAX_POWER_LEVELS] = {};
  KeptOperand power[MAX_POWER_LEVELS];
  std::size_t most_bytes = 0;
  std::atomic<std::size_t> bytes{0};
};

// What the kept powers of a conversion of a whole of `places` digits take at most: an eighth of
// the whole's fraction.
std::size_t kept_powers_bytes(std::uint64_t places);

// Once no thread converts with them.
void release_kept_powers(KeptPowers* kept);

// Before the halves of a piece of more than LEAF_PLACES digits are converted apart: zeroes the word
// they share, if they share one, into which both add their digits.
void clear_shared_word(const DecimalPiece& piece);

// The leading half of a piece of more than LEAF_PLACES digits: a piece of its own.
PieceStatus leading_half(const DecimalPiece& piece, DecimalPiece* leading);

// The trailing half of a piece of more than LEAF_PLACES digits, from the piece's level's power
// (kept in `kept_powers`, unless null, where its level keeps it).
PieceStatus trailing_half(const DecimalPiece& piece, const PowerTable& table,
                          KeptPowers* kept_powers, DecimalPiece* trailing);

// Writes the wanted digits of a piece of at most LEAF_PLACES digits (and frees its fraction).
PieceStatus convert_leaf(DecimalPiece* piece);

void release_piece(DecimalPiece* piece);
