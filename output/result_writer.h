// Writes the digits of sqrt(2) after a completed run, in one of the four formats.
#pragma once

#include <cstdint>
#include <cstdio>

#include "compute/calc_state.h"

// Writes the digits at positions 1 .. digits-1 of `sum` to `out` in `format`, after "1." when
// print_lead is non-zero (never in binary), advancing the current progress bar with the last
// position written and finally with `digits`. Requires digits >= 1.
void write_digits(std::FILE* out, const Word* sum, std::uint32_t digits, std::uint32_t format,
                  std::uint32_t print_lead);

// The same from characters: chars[i - 1] is the digit at position i.
void write_digit_chars(std::FILE* out, const char* chars, std::uint32_t digits, std::uint32_t format,
                       std::uint32_t print_lead);

// Writes the result of a completed, scaled state to `output_path` ("wb" for binary, "w"
// otherwise), or to standard output when there is no path or it cannot be opened, then one line
// feed to standard output. Returns false when a write, the flush or the close failed.
bool write_result(const CalcState* state, const char* output_path);

// The same from characters, with the state's digit count, format and "1." flag given.
bool write_result_chars(const char* chars, std::uint32_t digits, std::uint32_t format,
                        std::uint32_t print_lead, const char* output_path);
