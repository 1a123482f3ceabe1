#include "app/options.h"

#include <cstdio>
#include <cstring>

namespace {

bool is(const char* argument, const char* option) { return std::strcmp(argument, option) == 0; }

// The value of -d goes through "%u" itself, so blanks, a sign, wrapping and trailing text
// behave exactly as the platform's formatted input reads them.
bool read_digit_count(const char* value, std::uint32_t* requested) {
  unsigned int parsed = 0;
  if (std::sscanf(value, "%u", &parsed) != 1) return false;
  *requested = parsed;
  return true;
}

bool read_format(const char* value, std::uint32_t* format) {
  static const char* const keywords[] = {"text", "text2", "raw", "binary"};
  for (std::uint32_t f = 0; f <= FORMAT_LAST; ++f) {
    if (is(value, keywords[f])) {
      *format = f;
      return true;
    }
  }
  return false;
}

bool read_yes_no(const char* value, std::uint32_t* flag) {
  if (is(value, "yes")) {
    *flag = 1;
    return true;
  }
  if (is(value, "no")) {
    *flag = 0;
    return true;
  }
  return false;
}

}  // namespace

bool scan_options(int argc, char** argv, RunSettings* settings) {
  if (argc <= 1) return false;
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    bool takes_value = is(argument, "-d") || is(argument, "-r") || is(argument, "-o") ||
                       is(argument, "-f") || is(argument, "-1");
    if (!takes_value) {
      settings->error = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    const char* value = argv[++i];
    bool valid = true;
    if (is(argument, "-d")) {
      valid = read_digit_count(value, &settings->digits);
    } else if (is(argument, "-r")) {
      settings->resume_path = value;
    } else if (is(argument, "-o")) {
      settings->output_path = value;
    } else if (is(argument, "-f")) {
      valid = read_format(value, &settings->format);
    } else {
      valid = read_yes_no(value, &settings->print_lead);
    }
    if (!valid) settings->error = true;
  }
  if (settings->error) return false;
  return settings->digits <= MAX_REQUESTED_DIGITS;
}
