#include "output/result_writer.h"

#include <cassert>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "numbers/digit_chars.h"
#include "output/progress.h"

namespace {

// The digits are handled in chunks of positions 1 + CHUNK k ... CHUNK (k + 1): a chunk starts one
// position into a word, at the start of a group of ten and of a pair of packed digits.
constexpr std::uint32_t CHUNK_WORDS = 100000;
constexpr std::uint32_t CHUNK_POSITIONS = CHUNK_WORDS * DIGITS_PER_WORD;
static_assert(CHUNK_POSITIONS % 10 == 0 && CHUNK_POSITIONS % 2 == 0);
// A chunk's text: its digits, a separator per group, and at each line end at most
// " -2147483647", two line feeds and two spaces.
constexpr std::size_t CHUNK_OUTPUT_BYTES =
    CHUNK_POSITIONS + CHUNK_POSITIONS / 10 + CHUNK_POSITIONS / 100 * 16;

// A chunk's decoded digits and its text. Static, so that writing a result never needs memory
// that a long run may have left too little of.
char chunk_digits[CHUNK_POSITIONS + DIGITS_PER_WORD];
char chunk_text[CHUNK_OUTPUT_BYTES + 2];

// The nine decimal digits of `word` (below 10^9) as characters, most significant first: the digit
// at position 9k + j of a number is that of its word k at place j, as digit_at reads it.
void word_to_chars(Word word, char* out) {
  out[0] = static_cast<char>('0' + word / 100000000);
  Word rest = word % 100000000;
  std::memcpy(out + 1, FOUR_DIGITS.chars[rest / 10000], 4);
  std::memcpy(out + 5, FOUR_DIGITS.chars[rest % 10000], 4);
}

// Appends the separator that follows position i, a multiple of 10, in the text formats.
char* end_group(char* out, std::uint32_t i, std::uint32_t format, std::uint32_t print_lead) {
  if (i % 100 != 0) {
    *out++ = ' ';
    return out;
  }
  if (format == FORMAT_TEXT2 && i % 1000 == 0) {
    out += std::snprintf(out, 16, " -%lu", static_cast<unsigned long>(i));
  }
  *out++ = '\n';
  if (format == FORMAT_TEXT2 && i % 10000 == 0) *out++ = '\n';
  if (print_lead != 0) {
    *out++ = ' ';
    *out++ = ' ';
  }
  return out;
}

// Lays out `count` digit characters for positions first .. first+count-1 (first at the start of a
// group and of a pair) in `format`. Returns the end of the output.
char* lay_out(const char* digits, std::uint32_t first, std::uint32_t count, std::uint32_t format,
              std::uint32_t print_lead, char* out) {
  if (format == FORMAT_RAW) {
    std::memcpy(out, digits, count);
    return out + count;
  }
  if (format == FORMAT_BINARY) {
    for (std::uint32_t j = 0; j + 1 < count; j += 2) {
      *out++ = static_cast<char>((digits[j] - '0') * 16 + (digits[j + 1] - '0'));
    }
    return out;
  }
  for (std::uint32_t done = 0; done < count;) {
    if ((first + done - 1) % 100 == 0 && count - done >= 100) {  // a whole line
      for (int group = 0; group < 9; ++group) {
        std::memcpy(out, digits + done, 10);
        out[10] = ' ';
        out += 11;
        done += 10;
      }
      std::memcpy(out, digits + done, 10);
      out += 10;
      done += 10;
      out = end_group(out, first + done - 1, format, print_lead);
      continue;
    }
    std::uint32_t size = count - done < 10 ? count - done : 10;
    std::memcpy(out, digits + done, size);
    out += size;
    done += size;
    if (size == 10) out = end_group(out, first + done - 1, format, print_lead);
  }
  return out;
}

// The characters of positions first .. first+count-1 (first is 1 + a multiple of CHUNK_POSITIONS),
// decoded into `scratch` when they come from words.
const char* chunk_chars(const ResultDigits& source, std::uint32_t first, std::uint32_t count,
                        char* scratch) {
  if (source.chars != nullptr) return source.chars + (first - 1);
  // Position `first` is place 1 of word (first - 1) / 9.
  const Word* words = source.words + (first - 1) / DIGITS_PER_WORD;
  for (std::uint32_t k = 0; k * DIGITS_PER_WORD < count + 1; ++k) {
    word_to_chars(words[k], scratch + k * DIGITS_PER_WORD);
  }
  return scratch + 1;
}

// Writes the digits; false when `give_up` said yes before the end.
bool write_from(std::FILE* out, const ResultDigits& source, bool (*give_up)()) {
  const std::uint32_t positions = source.positions, format = source.format,
                      print_lead = source.print_lead;
  assert(positions >= 1 && (source.words != nullptr) != (source.chars != nullptr));
  if (print_lead != 0 && format != FORMAT_BINARY) std::fwrite("1.", 1, 2, out);
  for (std::uint32_t first = 1; first < positions; first += CHUNK_POSITIONS) {
    std::uint32_t count = positions - first < CHUNK_POSITIONS ? positions - first : CHUNK_POSITIONS;
    const char* chars = chunk_chars(source, first, count, chunk_digits);
    char* end = lay_out(chars, first, count, format, print_lead, chunk_text);
    std::fwrite(chunk_text, 1, static_cast<std::size_t>(end - chunk_text), out);
    progress_update(first + count - 1);
    if (give_up != nullptr && give_up()) return false;
  }
  progress_update(positions);
  return true;
}

// Removes the file at `path` when it is a regular file (never a device, a pipe or what a
// symbolic link points to).
void remove_regular_file(const char* path) {
  std::error_code error;
  if (std::filesystem::symlink_status(path, error).type() == std::filesystem::file_type::regular) {
    std::filesystem::remove(path, error);
  }
}

}  // namespace

bool write_result(const ResultDigits& digits, const char* output_path, bool standard_output_closed,
                  bool (*give_up)()) {
  std::FILE* file = nullptr;
  if (output_path != nullptr) {
    file = std::fopen(output_path, digits.format == FORMAT_BINARY ? "wb" : "w");
  }
  std::FILE* out = file != nullptr ? file : stdout;
  if (!write_from(out, digits, give_up)) {
    if (file != nullptr) {
      std::fclose(file);
      remove_regular_file(output_path);
    } else {
      std::fflush(stdout);
    }
    return false;
  }
  bool ok = true;
  if (file != nullptr) {
    if (std::fflush(file) != 0 || std::ferror(file)) ok = false;
  }
  if (file == nullptr || !standard_output_closed) {
    std::fputc('\n', stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) ok = false;
  }
  if (file != nullptr && std::fclose(file) != 0) ok = false;
  return ok;
}
