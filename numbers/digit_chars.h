// Decimal characters four at a time, for the writers of digits.
#pragma once

// The four decimal characters of every value below 10^4, with leading zeros.
struct FourDigitTable {
  char chars[10000][4];
  constexpr FourDigitTable() : chars() {
    for (int v = 0; v < 10000; ++v) {
      chars[v][0] = static_cast<char>('0' + v / 1000);
      chars[v][1] = static_cast<char>('0' + v / 100 % 10);
      chars[v][2] = static_cast<char>('0' + v / 10 % 10);
      chars[v][3] = static_cast<char>('0' + v % 10);
    }
  }
};

inline constexpr FourDigitTable FOUR_DIGITS;
