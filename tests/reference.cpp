#include "reference.h"

#include <iconv.h>

#include <stdexcept>

std::string sqrt2_digits(std::uint32_t count) {
  mpz_t value;
  mpz_init(value);
  mpz_ui_pow_ui(value, 10, 2 * static_cast<unsigned long>(count));
  mpz_mul_ui(value, value, 2);
  mpz_sqrt(value, value);
  std::vector<char> text(mpz_sizeinbase(value, 10) + 2);
  mpz_get_str(text.data(), 10, value);
  mpz_clear(value);
  return std::string(text.data() + 1);  // the digits after the leading 1
}

void words_to_mpz(mpz_t value, const Word* words, std::int32_t count) {
  mpz_set_ui(value, 0);
  for (std::int32_t k = 0; k < count; ++k) {
    mpz_mul_ui(value, value, WORD_BASE);
    mpz_add_ui(value, value, words[k]);
  }
}

std::vector<Word> mpz_to_words(const mpz_t value, std::int32_t count) {
  std::vector<char> text(mpz_sizeinbase(value, 10) + 2);
  const std::string digits = mpz_get_str(text.data(), 10, value);
  const std::size_t places = static_cast<std::size_t>(count) * DIGITS_PER_WORD;
  if (digits.size() > places) throw std::logic_error("value does not fit the words");
  const std::string padded = std::string(places - digits.size(), '0') + digits;
  std::vector<Word> words(static_cast<std::size_t>(count));
  for (std::size_t k = 0; k < words.size(); ++k) {
    words[k] = static_cast<Word>(std::stoul(padded.substr(k * DIGITS_PER_WORD, DIGITS_PER_WORD)));
  }
  return words;
}

std::vector<Word> fixed_from_digits(const std::string& digits_after_point, std::int32_t count) {
  std::string all = "1" + digits_after_point;
  all.resize(static_cast<std::size_t>(count) * DIGITS_PER_WORD, '0');
  std::vector<Word> words(static_cast<std::size_t>(count));
  for (std::size_t k = 0; k < words.size(); ++k) {
    words[k] = static_cast<Word>(std::stoul(all.substr(k * DIGITS_PER_WORD, DIGITS_PER_WORD)));
  }
  return words;
}

std::string shift_jis_from_utf8(const std::string& utf8) {
  iconv_t converter = iconv_open("SHIFT_JIS", "UTF-8");
  if (converter == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("no iconv converter");
  std::string in = utf8;
  std::string out(in.size() * 2 + 16, '\0');
  char* in_ptr = in.data();
  char* out_ptr = out.data();
  std::size_t in_left = in.size();
  std::size_t out_left = out.size();
  std::size_t result = iconv(converter, &in_ptr, &in_left, &out_ptr, &out_left);
  iconv_close(converter);
  if (result == static_cast<std::size_t>(-1)) throw std::runtime_error("text not convertible");
  out.resize(out.size() - out_left);
  return out;
}
