// A temporary stream whose bytes the test reads back.
#pragma once

#include <cstdio>
#include <string>

struct CapturedStream {
  std::FILE* stream = std::tmpfile();
  ~CapturedStream() { std::fclose(stream); }
  std::string bytes() {
    std::fflush(stream);
    std::string text;
    std::rewind(stream);
    for (int c; (c = std::fgetc(stream)) != EOF;) text.push_back(static_cast<char>(c));
    return text;
  }
};
