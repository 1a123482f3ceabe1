// Output that the test reads back: a temporary stream, or a result written to a file.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "child_process.h"
#include "output/result_writer.h"

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

// The bytes that write_result writes to a result file for `digits`; the line feed that it writes
// to standard output is checked on the way.
inline std::string written_result(const ResultDigits& digits) {
  const std::string path = ::testing::TempDir() + "written_result_" + std::to_string(getpid());
  ::testing::internal::CaptureStdout();
  const bool ok = write_result(digits, path.c_str());
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "\n");
  EXPECT_TRUE(ok);
  std::string bytes = read_file(path);
  std::remove(path.c_str());
  return bytes;
}
