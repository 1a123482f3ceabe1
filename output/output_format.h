// The four result formats, stored as an unsigned 32-bit value on the command line and in
// checkpoints.
#pragma once

#include <cstdint>

enum OutputFormat : std::uint32_t {
  FORMAT_TEXT = 0,  // groups of ten digits, one hundred digits to a line
  // as text, with position markers every thousand and a blank line every ten thousand
  FORMAT_TEXT2 = 1,
  FORMAT_RAW = 2,     // the digits alone
  FORMAT_BINARY = 3,  // packed decimal, two digits a byte
};

inline constexpr std::uint32_t FORMAT_LAST = FORMAT_BINARY;
