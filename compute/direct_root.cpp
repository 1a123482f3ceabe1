#include "compute/direct_root.h"

#include <gmp.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "compute/binary_root.h"
#include "compute/conversion_queue.h"
#include "compute/decimal_tree.h"
#include "output/progress.h"

namespace {

constexpr std::uint32_t EXTRA_DIGITS = 64;
constexpr std::uint32_t CHECKED_DIGITS = 32;
// Bytes per digit that the route may need at its peak, with room to spare: the digits
// themselves, the root, the powers of ten and the wrapped products with their scratch come to
// about 3.6, and so does the plain conversion it may fall back on.
constexpr std::uint64_t PEAK_BYTES_PER_DIGIT = 6;

bool run_of(const char* chars, std::uint32_t count, char digit) {
  for (std::uint32_t i = 0; i < count; ++i) {
    if (chars[i] != digit) return false;
  }
  return true;
}

// Whether the route's peak memory can be had at all; a failed allocation inside GMP would end
// the process, so the route only starts when this much is there.
bool memory_for(std::uint32_t digits) {
  std::uint64_t bytes = (static_cast<std::uint64_t>(digits) + EXTRA_DIGITS) * PEAK_BYTES_PER_DIGIT;
  if (bytes != static_cast<std::size_t>(bytes)) return false;
  void* trial = std::malloc(static_cast<std::size_t>(bytes));
  std::free(trial);
  return trial != nullptr;
}

void advance_bar(std::uint32_t bar_total, std::uint32_t marks) {
  progress_update(static_cast<std::uint32_t>(static_cast<std::uint64_t>(bar_total) * marks / 50));
}

// The bar during the conversion, from mark 20 to mark 50; only the calling thread draws it.
std::uint32_t conversion_bar_total = 0;
std::uint64_t conversion_places = 0;
void conversion_progress(std::uint64_t digits_done) {
  advance_bar(conversion_bar_total,
              static_cast<std::uint32_t>(20 + 30 * digits_done / conversion_places));
}

struct RootConversion {
  ConversionQueue queue;
  PowerTable powers;
  std::mutex powers_lock;
  std::condition_variable powers_built;
  bool powers_ready = false;
  std::uint64_t places = 0;
  char* chars = nullptr;
  std::vector<std::uint64_t> leftmost_places;  // of the leftmost piece of each level
};

void build_the_powers(RootConversion* conversion) {
  if (!build_powers(conversion->places, &conversion->powers)) {
    queue_fail(&conversion->queue, PieceStatus::NO_MEMORY);
  }
  {
    std::lock_guard<std::mutex> hold(conversion->powers_lock);
    conversion->powers_ready = true;
  }
  conversion->powers_built.notify_all();
}

// The leftmost piece of a level, straight from the iteration k steps before its end; the one
// below it, if any, was given the same way. Level 1 comes about half way through the iteration's
// work.
void queue_leftmost_piece(void* context, unsigned level, BoundedFraction early) {
  RootConversion* conversion = static_cast<RootConversion*>(context);
  if (level == 1) advance_bar(conversion_bar_total, 12);
  DecimalPiece leftmost;
  leftmost.fraction = early;
  leftmost.places = conversion->leftmost_places[level];
  leftmost.out = conversion->chars;
  leftmost.level = level;
  leftmost.leading_given = level + 1 < conversion->leftmost_places.size();
  queue_add(&conversion->queue, leftmost);
}

// The first `places` digits of sqrt(2) after the point, into chars[0 .. places): the root in
// binary, then its digits by halves, on two threads where there are two. The second builds the
// powers of ten and takes the root's leading half as soon as the iteration has it; either takes
// the halves the other leaves.
PieceStatus root_digits(std::uint64_t places, std::uint32_t bar_total, unsigned threads,
                        char* chars) {
  RootConversion conversion;
  conversion.places = places;
  conversion.chars = chars;
  conversion.queue.powers = &conversion.powers;
  conversion_bar_total = bar_total;
  conversion_places = places;
  const bool split = places > LEAF_PLACES;
  if (threads == 0) threads = std::thread::hardware_concurrency();
  const bool two_threads = split && threads >= 2;
  queue_hold(&conversion.queue);  // for the root, so that the helper waits for it
  std::thread helper;
  if (two_threads) {
    helper = std::thread([&conversion] {
      build_the_powers(&conversion);
      convert_queued(&conversion.queue, nullptr);
    });
  } else {
    build_the_powers(&conversion);
  }
  // Every level's leftmost piece comes from the iteration, the deepest first, so that the
  // helper has work while the root is still being refined.
  std::vector<std::size_t> early_counts;
  conversion.leftmost_places.push_back(places);
  while (conversion.leftmost_places.back() > LEAF_PLACES) {
    conversion.leftmost_places.push_back((conversion.leftmost_places.back() + 1) / 2);
    early_counts.push_back(piece_limbs(conversion.leftmost_places.back()));
  }
  DecimalPiece whole;
  whole.places = places;
  whole.out = chars;
  const RootStatus root =
      binary_root(piece_limbs(places), early_counts.data(),
                  static_cast<unsigned>(early_counts.size()), queue_leftmost_piece, &conversion,
                  &whole.fraction);
  if (root != RootStatus::PROVEN) {
    queue_fail(&conversion.queue,
               root == RootStatus::NO_MEMORY ? PieceStatus::NO_MEMORY : PieceStatus::DOUBTFUL);
  }
  advance_bar(bar_total, 20);
  {
    std::unique_lock<std::mutex> hold(conversion.powers_lock);
    conversion.powers_built.wait(hold, [&conversion] { return conversion.powers_ready; });
  }
  if (split && conversion.queue.status.load() == PieceStatus::DONE) {
    DecimalPiece trailing;
    const PieceStatus status = trailing_half(whole, conversion.powers, &trailing);
    release_piece(&whole);
    release_power(&conversion.powers, 0);
    if (status == PieceStatus::DONE) {
      whole = trailing;
    } else {
      queue_fail(&conversion.queue, status);
    }
  }
  convert_piece(&conversion.queue, whole, conversion_progress);
  convert_queued(&conversion.queue, conversion_progress);
  if (helper.joinable()) helper.join();
  release_powers(&conversion.powers);
  return conversion.queue.status.load();
}

// The same digits the plain way: floor(sqrt(2 * 10^(2 places))), converted whole.
void root_digits_plain(std::uint64_t places, char* chars) {
  mpz_t root;
  mpz_init(root);
  mpz_ui_pow_ui(root, 10, 2 * places);
  mpz_mul_2exp(root, root, 1);
  mpz_sqrt(root, root);
  mpz_get_str(chars, 10, root);  // "1" and the places after the point
  mpz_clear(root);
  std::memmove(chars, chars + 1, places);
}

}  // namespace

bool compute_direct_root(std::uint32_t digits, std::uint32_t bar_total, DirectRoot* result,
                         const DirectRootHooks& hooks) {
  std::uint32_t final_n = 0;
  if (!final_term_index(digits, &final_n, hooks.term_count)) return false;
  if (!memory_for(digits)) return false;
  const std::uint64_t places = static_cast<std::uint64_t>(digits) - 1 + EXTRA_DIGITS;
  char* chars = static_cast<char*>(std::malloc(places + 2));
  if (chars == nullptr) return false;
  advance_bar(bar_total, 5);
  const char* after_last = chars + (digits - 1);
  const PieceStatus status = hooks.pretend_doubtful_conversion
                                 ? PieceStatus::DOUBTFUL
                                 : root_digits(places, bar_total, hooks.threads, chars);
  if (status == PieceStatus::NO_MEMORY) {
    std::free(chars);
    return false;
  }
  if (status == PieceStatus::DOUBTFUL) root_digits_plain(places, chars);
  if (hooks.pretend_ambiguous_digits ||
      run_of(after_last, CHECKED_DIGITS, '0') || run_of(after_last, CHECKED_DIGITS, '9')) {
    std::free(chars);
    return false;
  }
  advance_bar(bar_total, 50);
  result->digit_chars = chars;
  result->final_n = final_n;
  return true;
}

void release_direct_root(DirectRoot* result) {
  std::free(result->digit_chars);
  result->digit_chars = nullptr;
}
