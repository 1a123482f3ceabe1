// Two numbers of N digits into base-10^9 words, as a save converts the sum and the term: the
// prepared conversion by halves on one and on two threads, against GMP's mpz_get_str of both in
// the same run, with wall and processor time, and the words checked against GMP's digits.
//
//   build/bench/conversion_bench [digits ...]   (default 10000000 30000000)
#include <gmp.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "products/product.h"
#include "radix/integer_words.h"

namespace {

struct Times {
  double wall = 0;
  double processor = 0;
};

// The process's processor time on both threads (on Windows, std::clock gives wall time).
double processor_seconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

template <typename Work>
Times timed(Work work) {
  const auto wall = std::chrono::steady_clock::now();
  const double processor = processor_seconds();
  work();
  return {std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count(),
          processor_seconds() - processor};
}

// The words of the decimal string of x below 10^(9 count), by GMP's own conversion.
std::vector<Word> words_of_text(const std::string& text, std::int32_t count) {
  const std::string padded =
      std::string(static_cast<std::size_t>(count) * 9 - text.size(), '0') + text;
  std::vector<Word> words(static_cast<std::size_t>(count));
  for (std::size_t k = 0; k < words.size(); ++k) {
    words[k] = static_cast<Word>(std::stoul(padded.substr(9 * k, 9)));
  }
  return words;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<long> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(std::atol(argv[i]));
  if (sizes.empty()) sizes = {10000000, 30000000};
  gmp_randstate_t random;
  gmp_randinit_default(random);
  std::printf("%11s %9s %9s %12s %12s %12s %8s %8s %s\n", "digits", "GMP s", "GMP cpu", "prepare s",
              "1 thread s", "2 threads s", "vs GMP", "cpu vs", "words");
  for (const long digits : sizes) {
    const auto count = static_cast<std::int32_t>((digits + 8) / 9);
    mpz_t bound, x[2];
    mpz_inits(bound, x[0], x[1], nullptr);
    mpz_ui_pow_ui(bound, 10, static_cast<unsigned long>(digits));
    for (mpz_t& number : x) mpz_urandomm(number, random, bound);
    std::string text[2];
    const Times gmp = timed([&] {
      for (int k = 0; k < 2; ++k) {
        std::vector<char> chars(mpz_sizeinbase(x[k], 10) + 2);
        mpz_get_str(chars.data(), 10, x[k]);
        text[k] = chars.data();
      }
    });
    // FFT scratch of three numbers' size a thread, products split to fit it and the scratch
    // kept, as a run with -r converts.
    const double number_bytes = static_cast<double>(digits) * 3.3219280948873623 / 8;
    set_product_bounds({static_cast<std::size_t>(3 * number_bytes), true, true});
    WordConversion conversion;
    bool prepared = false;
    const Times prepare = timed([&] { prepared = prepare_word_conversion(count, &conversion); });
    // The whole pieces and their first halvings, made while the other thread multiplies nothing,
    // as a save makes them: twice that scratch, the whole pieces on the FFT's two threads.
    conversion.lone_fft_scratch_bytes = static_cast<std::size_t>(6 * number_bytes);
    conversion.lone_threads = 2;
    if (!prepared) {
      std::printf("%11ld (no conversion by halves at this size)\n", digits);
      mpz_clears(bound, x[0], x[1], nullptr);
      continue;
    }
    std::vector<Word> words[2] = {std::vector<Word>(count), std::vector<Word>(count)};
    Word* out[2] = {words[0].data(), words[1].data()};
    const mpz_srcptr in[2] = {x[0], x[1]};
    const Times one = timed([&] { integers_to_words(in, out, 2, count, 1, conversion); });
    bool same =
        words[0] == words_of_text(text[0], count) && words[1] == words_of_text(text[1], count);
    const Times two = timed([&] { integers_to_words(in, out, 2, count, 2, conversion); });
    same = same && words[0] == words_of_text(text[0], count) &&
           words[1] == words_of_text(text[1], count);
    release_word_conversion(&conversion);
    release_product_scratch();
    std::printf("%11ld %9.2f %9.2f %12.2f %12.2f %12.2f %7.2fx %7.2fx %s\n", digits, gmp.wall,
                gmp.processor, prepare.wall, one.wall, two.wall, two.wall / gmp.wall,
                two.processor / gmp.processor, same ? "identical" : "DIFFERENT");
    mpz_clears(bound, x[0], x[1], nullptr);
  }
  gmp_randclear(random);
  return 0;
}
