#include "output/result_writer.h"

#include <cassert>
#include <cstdio>
#include <cstring>

#include "output/output_format.h"
#include "output/progress.h"

namespace {

constexpr std::size_t BUFFER_SIZE = 1 << 16;
// Room for one digit and the longest separator after it: " -2147483647", two line feeds, "  ".
constexpr std::size_t BUFFER_SLACK = 32;

// Collects the output and hands it to the stream a block at a time.
struct OutputBuffer {
  std::FILE* out;
  std::size_t used = 0;
  char bytes[BUFFER_SIZE];

  explicit OutputBuffer(std::FILE* stream) : out(stream) {}
  void put(char c) { bytes[used++] = c; }
  void put(const char* text, std::size_t size) {
    std::memcpy(bytes + used, text, size);
    used += size;
  }
  bool nearly_full() const { return used > BUFFER_SIZE - BUFFER_SLACK; }
  void flush() {
    std::fwrite(bytes, 1, used, out);
    used = 0;
  }
};

// Yields the digits at positions 1, 2, ... in order, decoding one word at a time. The digit at
// position i is that of digit_at(words, i): the (i mod 9)-th of word i / 9's nine digits.
struct DigitReader {
  const Word* words;
  std::int32_t next_word = 0;
  int next_in_word = DIGITS_PER_WORD;
  char digits[DIGITS_PER_WORD];

  explicit DigitReader(const Word* sum) : words(sum) {
    decode_next_word();
    next_in_word = 1;  // position 0 is the units digit, written as "1."
  }
  void decode_next_word() {
    Word word = words[next_word++];
    for (int j = DIGITS_PER_WORD - 1; j >= 0; --j) {
      digits[j] = static_cast<char>(word % 10);
      word /= 10;
    }
    next_in_word = 0;
  }
  int next() {
    if (next_in_word == DIGITS_PER_WORD) decode_next_word();
    return digits[next_in_word++];
  }
};

// The separator after position i, a multiple of 10, in the text formats.
void end_group(OutputBuffer* buffer, std::uint32_t i, std::uint32_t format,
               std::uint32_t print_lead) {
  if (i % 100 != 0) {
    buffer->put(' ');
    return;
  }
  if (format == FORMAT_TEXT2 && i % 1000 == 0) {
    char marker[24];
    int size = std::snprintf(marker, sizeof marker, " -%lu", static_cast<unsigned long>(i));
    buffer->put(marker, static_cast<std::size_t>(size));
  }
  buffer->put('\n');
  if (format == FORMAT_TEXT2 && i % 10000 == 0) buffer->put('\n');
  if (print_lead != 0) buffer->put("  ", 2);
}

}  // namespace

void write_digits(std::FILE* out, const Word* sum, std::uint32_t digits, std::uint32_t format,
                  std::uint32_t print_lead) {
  assert(digits >= 1);
  OutputBuffer buffer(out);
  if (print_lead != 0 && format != FORMAT_BINARY) buffer.put("1.", 2);
  DigitReader reader(sum);
  std::uint32_t packed = 0;
  int until_group_end = 10;
  for (std::uint32_t i = 1; i < digits; ++i) {
    int digit = reader.next();
    if (format == FORMAT_BINARY) {
      packed = (packed * 16 + static_cast<std::uint32_t>(digit)) % 256;
      if (i % 2 == 0) buffer.put(static_cast<char>(packed));
    } else {
      buffer.put(static_cast<char>('0' + digit));
      if (format != FORMAT_RAW && --until_group_end == 0) {
        until_group_end = 10;
        end_group(&buffer, i, format, print_lead);
      }
    }
    if (buffer.nearly_full()) {
      buffer.flush();
      progress_update(i);
    }
  }
  buffer.flush();
  progress_update(digits);
}

bool write_result(const CalcState* state, const char* output_path) {
  std::FILE* file = nullptr;
  if (output_path != nullptr) {
    file = std::fopen(output_path, state->format == FORMAT_BINARY ? "wb" : "w");
  }
  std::FILE* out = file != nullptr ? file : stdout;
  write_digits(out, state->sum, state->digits, state->format, state->print_lead);
  bool ok = true;
  if (file != nullptr) {
    if (std::fflush(file) != 0 || std::ferror(file)) ok = false;
  }
  std::fputc('\n', stdout);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) ok = false;
  if (file != nullptr && std::fclose(file) != 0) ok = false;
  return ok;
}
