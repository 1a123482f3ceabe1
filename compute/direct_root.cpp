#include "compute/direct_root.h"

#include <gmp.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "output/progress.h"

namespace {

constexpr std::uint32_t EXTRA_DIGITS = 64;
constexpr std::uint32_t CHECKED_DIGITS = 32;
// Bytes per digit that the root and its conversion may need at their peak, with room to spare:
// the square 2 * 10^(2P) (0.83 bytes a digit), the root, GMP's scratch and the decimal string.
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

// The decimal digits of `value` (below 10^count) into out[0 .. count), with leading zeros.
// out must have room for count + 1 characters.
void digits_with_zeros(const mpz_t value, std::uint64_t count, char* out) {
  mpz_get_str(out, 10, value);
  std::size_t length = std::strlen(out);
  std::memmove(out + (count - length), out, length);
  std::memset(out, '0', count - length);
}

// The first `places` digits of sqrt(2) after the point, into chars[0 .. places), on two threads.
// sqrt(2) is taken in binary as R = floor(sqrt(2) 2^b) with 64 bits beyond the decimal places,
// its fraction f = R - 2^b; then the first h digits are floor(f 10^h / 2^b) and the rest
// floor((f 10^h mod 2^b) 10^(places-h) / 2^b). Returns false when f 10^h falls so close to an
// integer that the truncated root could move the split (a run of 9s there).
bool root_digits(std::uint64_t places, std::uint32_t bar_total, char* chars) {
  const std::uint64_t bits = static_cast<std::uint64_t>(std::ceil(places * 3.321928094887362)) + 64;
  const std::uint64_t high_places = places / 2;
  const std::uint64_t low_places = places - high_places;
  mpz_t root, power, high, low;
  mpz_inits(root, power, high, low, nullptr);
  // The power of ten comes from the second thread while the first takes the root.
  std::thread powers([&] { mpz_ui_pow_ui(power, 10, high_places); });
  mpz_setbit(root, 2 * bits + 1);
  mpz_sqrt(root, root);
  powers.join();
  advance_bar(bar_total, 20);
  mpz_clrbit(root, bits);  // the fraction f
  mpz_mul(root, root, power);
  mpz_tdiv_q_2exp(high, root, bits);
  mpz_tdiv_r_2exp(low, root, bits);
  // The true fraction is f + t with 0 <= t < 1, so the split is certain when low + 10^h <= 2^b;
  // past that, the truncated root's last bits could carry into the first half.
  mpz_com(root, low);
  mpz_fdiv_r_2exp(root, root, bits);  // 2^b - 1 - low
  const bool clear = mpz_cmp(root, power) >= 0;
  mpz_clear(root);
  if (clear) {
    if (low_places != high_places) mpz_mul_ui(power, power, 10);  // 10^(places - h)
    mpz_mul(low, low, power);
    mpz_clear(power);
    mpz_tdiv_q_2exp(low, low, bits);
    advance_bar(bar_total, 30);
    std::thread second_half([&] { digits_with_zeros(low, low_places, chars + high_places + 1); });
    digits_with_zeros(high, high_places, chars);
    second_half.join();
    std::memmove(chars + high_places, chars + high_places + 1, low_places);
  } else {
    mpz_clear(power);
  }
  mpz_clears(high, low, nullptr);
  return clear;
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
  if (hooks.pretend_uncertain_split || !root_digits(places, bar_total, chars)) {
    root_digits_plain(places, chars);
  }
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
