// The command line: five options, each a whole argument followed by its value.
#pragma once

#include <cstdint>

#include "numbers/digit_positions.h"
#include "output/output_format.h"

struct RunSettings {
  std::uint32_t digits = 0;  // digits wanted after the point; 0 when none was given
  std::uint32_t format = FORMAT_TEXT;
  std::uint32_t print_lead = 1;       // 1 writes the leading "1."
  const char* resume_path = nullptr;  // checkpoint file, or none
  const char* output_path = nullptr;  // result file, or none for standard output
  bool error = false;                 // an invalid value or a stray argument was seen
};

// Scans argv[1 .. argc-1] into `settings`. Returns false when the usage block is due: no
// arguments, an option without its value, an invalid value or stray argument, or a digit count
// above MAX_REQUESTED_DIGITS.
bool scan_options(int argc, char** argv, RunSettings* settings);
