#include "compute/direct_root.h"

#include <gmp.h>

#include <cstdlib>
#include <cstring>

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

}  // namespace

bool compute_direct_root(std::uint32_t digits, std::uint32_t bar_total, DirectRoot* result,
                         const DirectRootHooks& hooks) {
  std::uint32_t final_n = 0;
  if (!final_term_index(digits, &final_n, hooks.term_count)) return false;
  if (!memory_for(digits)) return false;
  // floor(sqrt(2) * 10^P) has P + 1 digits: "1" and the P after the point.
  const std::uint64_t places = static_cast<std::uint64_t>(digits) - 1 + EXTRA_DIGITS;
  mpz_t root;
  mpz_init(root);
  mpz_ui_pow_ui(root, 10, 2 * places);
  mpz_mul_2exp(root, root, 1);
  advance_bar(bar_total, 5);
  mpz_sqrt(root, root);
  advance_bar(bar_total, 25);
  char* chars = static_cast<char*>(std::malloc(places + 2));
  if (chars == nullptr) {
    mpz_clear(root);
    return false;
  }
  mpz_get_str(chars, 10, root);
  mpz_clear(root);
  // The digits after the point start at chars + 1.
  std::memmove(chars, chars + 1, places);
  const char* after_last = chars + (digits - 1);
  if (hooks.pretend_ambiguous_digits || run_of(after_last, CHECKED_DIGITS, '0') ||
      run_of(after_last, CHECKED_DIGITS, '9')) {
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
