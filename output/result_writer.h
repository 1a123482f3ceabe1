// Writes the digits of sqrt(2) after a completed run, in one of the four formats.
#pragma once

#include <cstdint>

#include "numbers/fixed_decimal.h"
#include "output/output_format.h"

// A result's digits and their layout. The digits come from the words of a scaled sum or from
// characters, whichever is given.
struct ResultDigits {
  const Word* words = nullptr;  // the digit at position i is digit_at(words, i)
  const char* chars = nullptr;  // the digit at position i is chars[i - 1]
  std::uint32_t positions = 1;  // D: positions 1 .. D-1 are written
  std::uint32_t format = FORMAT_TEXT;
  std::uint32_t print_lead = 1;  // non-zero writes "1." first (never in binary)
};

// Writes the digits at positions 1 .. D-1 to `output_path` ("wb" for binary, "w" otherwise), or to
// standard output when there is no path or it cannot be opened, advancing the current progress
// bar with the last position written and finally with D; then one line feed to standard output,
// unless that was closed when the program started and the digits went to the file. `give_up`,
// when given, is asked after every chunk: once it says yes the write ends there, and a regular
// file it was writing (which it created or emptied) is removed; what went to standard output
// stays, without the line feed. Returns false when a write, the flush or the close failed, or the
// write was given up.
bool write_result(const ResultDigits& digits, const char* output_path,
                  bool standard_output_closed = false, bool (*give_up)() = nullptr);
