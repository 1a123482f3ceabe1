#include "direct_route/direct_root.h"

#include <gmp.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>

#include "direct_route/binary_root.h"
#include "direct_route/direct_root_parts.h"
#include "exact_terms/term_count.h"
#include "products/bit_counts.h"
#include "products/memory_arena.h"
#include "products/product.h"
#include "products/wrapped_product.h"
#include "radix/conversion_queue.h"
#include "radix/decimal_tree.h"

namespace {

constexpr std::uint32_t EXTRA_DIGITS = 64;
constexpr unsigned MAX_LEVELS = 64;  // halvings of fewer than 2^64 digits
static_assert(CHECKED_DIGITS < EXTRA_DIGITS);
// The route's peak in its arena (GMP's numbers and temporaries, the root, the pieces, the powers
// of ten and the wrapped products' scratch, on either path: the halves or the plain conversion),
// measured by bench/route_memory: up to 4.7 bytes a digit with GMP's wrapped products, up to 6.1
// with folded full products; with room to spare.
constexpr double ARENA_BYTES_PER_DIGIT = 6.0;
constexpr double ARENA_BYTES_PER_DIGIT_FOLDED = 9.0;
constexpr std::uint64_t ARENA_FIXED_BYTES = 16u << 20;
// Free runs of the arena below this keep their pages (see arena_reserve), sparing the page faults
// of the temporaries taken again and again. Measured against 1 MB, in turn: at 10^7 digits 0.205
// s against 0.213 s (medians of twenty) at peaks up to 49.7 MB against 46.5 MB (plain GMP's 45.9
// MB); at 10^8 2.33 s against 2.40 s (medians of six) at 323 to 343 MB against 320 to 338 MB.
// 4 MB took 0.199 s at 10^7, but at peaks up to 51.3 MB, past 1.1 times plain GMP's. Measured
// again over twenty runs each at 10^7 digits, with the primes' results recombined by AVX-512: 2
// MB peaked at up to 49.8 MB (1.09 times plain GMP's 45.7 MB), 1.75 MB at up to 48.2, 1.5 MB at
// up to 46.9 and 1 MB at up to 43.8; 1.5 MB took 2.7% more time than 2 MB, 1 MB 4.5% more.
constexpr std::size_t DIRECT_ROUTE_KEEPS_PAGES_BELOW = std::size_t{3} << 19;
// The FFT's scratch a thread may hold, and keeps, per place: the route's largest products (the
// iteration's last steps, the conversion's top pieces) are split into parts within it or left to
// GMP. Measured at 10^8 places against the bounds of the block engine (16 MB, given back after
// each product above 2 MB): 0.4 bytes (40 MB) takes 16% off the time (6.8 s against 8.1 to
// 8.3 s) and adds 50 MB to the peak (348 MB, within plain GMP's 359 MB); without keeping the
// scratch only 4%, for the page faults of each product's buffer. 0.44 bytes let the iteration's
// last product (of two halves of the root) take the FFT in parts: 0.1 to 0.3 s less at 10^8
// places, at a peak of 328 to 332 MB against 319 to 349. With the products modulo B^n - 1 that
// hold one prime's transform of their second operand at a time, 0.65 bytes takes the conversion's
// third level and the iteration's products of 1.3 million limbs and its square of 2.6 million to
// the whole transforms: 4.7 to 5.1 s against 5.2 to 5.6 s at 10^8 places, at a peak of 356 to 363
// MB against 367 to 368; 0.75 bytes takes the second level too, 4.5 to 4.8 s, at 403 to 405 MB
// (1.10 times plain GMP's) while the conversion's helper kept that level's buffer through the
// smaller ones, and at 358 to 362 MB since it gives it back. Measured again over ten runs each,
// 0.75 bytes peaked at 376 to 397 MB (up to 1.11 times plain GMP's 359 MB, when the iteration's
// last product by the whole transforms met the helper's kept scratch) in 2.32 s (the median);
// 0.7 bytes at 306 to 338 MB in 2.42 s, 0.65 and 0.55 bytes about as low and no quicker. At 10^7
// places both give the same, within the small runs' share.
constexpr double FFT_SCRATCH_BYTES_PER_PLACE = 0.7;
// Smaller runs have room for more against plain GMP's memory: 0.8 bytes a place up to 6 MB.
// Measured at 10^7 places: 8 MB took 0.32 s at a peak of 47 MB against 0.35 s at 42 MB with 0.44
// bytes (plain GMP's peak 45.8 MB); 12 MB 0.29 s at 52 MB, past 1.1 times plain GMP's. With the
// products modulo B^n - 1 of one prime's transform at a time, 8 MB reached 50.4 to 51 MB against
// plain GMP's 46.9, and 6 MB 48.3 to 49.1 MB (0.41 to 0.59 s, as before).
constexpr double SMALL_RUN_FFT_SCRATCH_BYTES_PER_PLACE = 0.8;
constexpr double SMALL_RUN_FFT_SCRATCH_BYTES = 6 << 20;

// The route's largest products, in limbs: the root's limbs by half as many (the top piece's
// trailing half, taken by the FFT only whole), the iteration's last step and the largest power's
// square (as many limbs in all as the root).
std::size_t largest_product_limbs(std::uint64_t places) {
  const std::size_t root_limbs = piece_limbs(places);
  return root_limbs + root_limbs / 2 + 2;
}

// The products' bounds for `places`: the quick ones, or where memory is short GMP's products
// alone, which need no scratch of the FFT's. A product past the bound may take the FFT's whole
// transforms within a thread's share of the model.
ProductBounds route_product_bounds(std::uint64_t places, bool quick) {
  ProductBounds bounds;
  if (!quick) {
    bounds.fft_scratch_bytes = 0;
    return bounds;
  }
  const double share = FFT_SCRATCH_BYTES_PER_PLACE * static_cast<double>(places);
  const double small_run_share =
      std::min(SMALL_RUN_FFT_SCRATCH_BYTES_PER_PLACE * static_cast<double>(places),
               SMALL_RUN_FFT_SCRATCH_BYTES);
  bounds.fft_scratch_bytes = static_cast<std::size_t>(std::max(share, small_run_share));
  bounds.split = true;
  bounds.keep_scratch = true;
  bounds.whole_transforms_bytes = product_scratch_bytes(bounds, 1, largest_product_limbs(places));
  return bounds;
}

// The route's arena for `places` digits after the point under `bounds`.
double arena_bytes(std::uint64_t places, const ProductBounds& bounds) {
  const double per_digit =
      wrapped_products_native() ? ARENA_BYTES_PER_DIGIT : ARENA_BYTES_PER_DIGIT_FOLDED;
  // Two threads multiply at once, the iteration's and the conversion's.
  return per_digit * static_cast<double>(places) + ARENA_FIXED_BYTES +
         static_cast<double>(kept_powers_bytes(places)) +
         static_cast<double>(product_scratch_bytes(bounds, 2, largest_product_limbs(places)));
}

// The route's peak for `places` digits under `bounds`: its arena and the digits' characters.
double peak_bytes(std::uint64_t places, const ProductBounds& bounds) {
  return arena_bytes(places, bounds) + static_cast<double>(places + 2);
}

// The places the route computes for `positions`: the digits after the point and the checked ones.
std::uint64_t route_places(std::uint32_t positions) {
  return static_cast<std::uint64_t>(positions) - 1 + EXTRA_DIGITS;
}

// The route's progress in fiftieths of its total: the root takes the first 20, the conversion
// the other 30.
struct RouteProgress {
  ProgressSink sink;
  std::uint32_t total = 0;
  std::uint64_t places = 0;  // to convert
};

void advance_to(const RouteProgress& progress, std::uint32_t fiftieths) {
  progress_advance(progress.sink, static_cast<std::uint32_t>(
                                      static_cast<std::uint64_t>(progress.total) * fiftieths / 50));
}

// During the conversion; only the calling thread reports it.
void conversion_done(void* context, std::uint64_t digits_done) {
  const RouteProgress& progress = *static_cast<const RouteProgress*>(context);
  advance_to(progress, static_cast<std::uint32_t>(20 + 30 * digits_done / progress.places));
}

struct RootConversion {
  const RouteProgress* progress = nullptr;
  ConversionQueue queue;
  PowerTable powers;
  std::mutex powers_lock;
  std::condition_variable powers_built;
  bool powers_ready = false;
  std::uint64_t places = 0;
  char* chars = nullptr;
  std::uint64_t leftmost_places[MAX_LEVELS] = {};  // of the leftmost piece of each level
  unsigned levels = 0;
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

// The leftmost piece of a level, straight from the iterate k iterations before the end; the one
// below it, if any, was given the same way. Level 1 comes about half way through the iteration's
// work.
void queue_leftmost_piece(void* context, unsigned level, BoundedFraction early) {
  RootConversion* conversion = static_cast<RootConversion*>(context);
  if (level == 1) advance_to(*conversion->progress, 12);
  DecimalPiece leftmost;
  leftmost.fraction = early;
  leftmost.places = conversion->leftmost_places[level];
  leftmost.out.chars = conversion->chars;
  leftmost.level = level;
  leftmost.leading_given = level + 1 < conversion->levels;
  queue_add(&conversion->queue, leftmost);
}

// The first `places` digits of sqrt(2) after the point, into chars[0 .. places): the root in
// binary, then its digits by halves, on two threads where there are two. The second builds the
// powers of ten and takes the root's leading half as soon as the iteration has it; either takes
// the halves the other leaves.
PieceStatus root_digits(std::uint64_t places, RouteProgress& progress, unsigned threads,
                        char* chars) {
  RootConversion conversion;
  conversion.progress = &progress;
  conversion.places = places;
  conversion.chars = chars;
  conversion.queue.powers = &conversion.powers;
  conversion.queue.kept_powers.most_bytes = kept_powers_bytes(places);
  const bool split = places > LEAF_PLACES;
  if (threads == 0) threads = std::thread::hardware_concurrency();
  const bool two_threads = split && threads >= 2;
  queue_hold(&conversion.queue);  // for the root, so that the helper waits for it
  std::thread helper;
  if (two_threads) {
    try {
      helper = std::thread([&conversion] {
        build_the_powers(&conversion);
        convert_queued(&conversion.queue, ConversionProgress{});
        release_product_scratch();
      });
    } catch (const std::exception&) {
      // No second thread to be had (no memory for its stack or its state): this one does it all.
    }
  }
  if (!helper.joinable()) build_the_powers(&conversion);
  // Every level's leftmost piece comes from the iteration, the deepest first, so that the
  // helper has work while the root is still being refined.
  // (Fixed arrays: nothing may fail for memory once the route has started.)
  std::size_t early_counts[MAX_LEVELS] = {};
  conversion.leftmost_places[conversion.levels++] = places;
  while (conversion.leftmost_places[conversion.levels - 1] > LEAF_PLACES) {
    const std::uint64_t half = (conversion.leftmost_places[conversion.levels - 1] + 1) / 2;
    early_counts[conversion.levels - 1] = piece_limbs(half);
    conversion.leftmost_places[conversion.levels++] = half;
  }
  DecimalPiece whole;
  whole.places = places;
  whole.out.chars = chars;
  const RootStatus root = binary_root(piece_limbs(places), early_counts, conversion.levels - 1,
                                      queue_leftmost_piece, &conversion, &whole.fraction);
  if (root != RootStatus::PROVEN) {
    queue_fail(&conversion.queue,
               root == RootStatus::NO_MEMORY ? PieceStatus::NO_MEMORY : PieceStatus::DOUBTFUL);
  }
  advance_to(progress, 20);
  {
    std::unique_lock<std::mutex> hold(conversion.powers_lock);
    conversion.powers_built.wait(hold, [&conversion] { return conversion.powers_ready; });
  }
  if (split && conversion.queue.status.load() == PieceStatus::DONE) {
    DecimalPiece trailing;
    const PieceStatus status = trailing_half(whole, conversion.powers, nullptr, &trailing);
    release_piece(&whole);
    release_power(&conversion.powers, 0);
    if (status == PieceStatus::DONE) {
      whole = trailing;
    } else {
      queue_fail(&conversion.queue, status);
    }
  }
  const ConversionProgress conversion_progress{conversion_done, &progress};
  convert_piece(&conversion.queue, whole, conversion_progress);
  convert_queued(&conversion.queue, conversion_progress);
  if (helper.joinable()) helper.join();
  queue_release(&conversion.queue);
  release_powers(&conversion.powers);
  return conversion.queue.status.load();
}

}  // namespace

bool digits_leave_the_series_open(const char* after_last) {
  for (const char digit : {'0', '9'}) {
    std::uint32_t run = 0;
    while (run < CHECKED_DIGITS && after_last[run] == digit) ++run;
    if (run == CHECKED_DIGITS) return true;
  }
  return false;
}

void plain_root_digits(std::uint64_t places, char* chars) {
  mpz_t root;
  mpz_init(root);
  mpz_ui_pow_ui(root, 10, static_cast<unsigned long>(2 * places));
  mpz_mul_2exp(root, root, 1);
  mpz_sqrt(root, root);
  mpz_get_str(chars, 10, root);  // "1" and the places after the point
  mpz_clear(root);
  std::memmove(chars, chars + 1, static_cast<std::size_t>(places));
}

double direct_root_peak_bytes(std::uint32_t positions) {
  const std::uint64_t places = route_places(positions);
  return peak_bytes(places, route_product_bounds(places, false));
}

bool start_direct_root(std::uint32_t positions, std::uint64_t memory_room, DirectRoot* root) {
  if (direct_root_peak_bytes(positions) > static_cast<double>(memory_room)) return false;
  const std::uint64_t places = route_places(positions);
  std::uint32_t final_n = 0;
  if (!final_term_index(positions, &final_n)) return false;
  if (!bit_counts_fit(places, DIRECT_ROUTE_BITS_PER_PLACE)) return false;
  char* chars = static_cast<char*>(std::malloc(static_cast<std::size_t>(places + 2)));
  if (chars == nullptr) return false;
  // The quick bounds where their peak fits and their region can be had, else GMP's products
  // alone, which need less (also of the address space, where that is limited).
  ProductBounds bounds;
  bool reserved = false;
  for (const bool quick : {true, false}) {
    bounds = route_product_bounds(places, quick);
    const double arena = arena_bytes(places, bounds);
    reserved = peak_bytes(places, bounds) <= static_cast<double>(memory_room) &&
               arena < static_cast<double>(SIZE_MAX) &&
               arena_reserve(static_cast<std::size_t>(arena), DIRECT_ROUTE_KEEPS_PAGES_BELOW);
    if (reserved) break;
  }
  if (!reserved) {
    std::free(chars);
    return false;
  }
  set_product_bounds(bounds);
  root->positions = positions;
  root->final_n = final_n;
  root->digit_chars = chars;
  return true;
}

bool compute_direct_root(DirectRoot* root, const ProgressSink& progress_sink,
                         std::uint32_t progress_total, unsigned threads) {
  const std::uint64_t places = route_places(root->positions);
  char* chars = root->digit_chars;
  RouteProgress progress{progress_sink, progress_total, places};
  advance_to(progress, 5);
  const PieceStatus status = root_digits(places, progress, threads, chars);
  if (status == PieceStatus::DOUBTFUL) plain_root_digits(places, chars);
  arena_release();
  if (status == PieceStatus::NO_MEMORY ||
      digits_leave_the_series_open(chars + (root->positions - 1))) {
    release_direct_root(root);
    return false;
  }
  advance_to(progress, 50);
  return true;
}

void release_direct_root(DirectRoot* root) {
  arena_release();
  set_product_bounds(ProductBounds{});
  std::free(root->digit_chars);
  root->digit_chars = nullptr;
}
