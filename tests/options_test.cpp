#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/options.h"

namespace {

struct Scan {
  std::vector<std::string> args;  // the paths in `settings` point into these
  bool ok = false;
  RunSettings settings;
};

Scan scan(std::vector<std::string> args) {
  Scan result;
  result.args = std::move(args);
  result.args.insert(result.args.begin(), "tindermoss_vale");
  std::vector<char*> argv;
  for (std::string& arg : result.args) argv.push_back(arg.data());
  result.ok = scan_options(static_cast<int>(argv.size()), argv.data(), &result.settings);
  return result;
}

TEST(Options, DefaultsAndEachOption) {
  Scan s = scan({"-d", "1000"});
  ASSERT_TRUE(s.ok);
  EXPECT_EQ(s.settings.digits, 1000u);
  EXPECT_EQ(s.settings.format, FORMAT_TEXT);
  EXPECT_EQ(s.settings.print_lead, 1u);
  EXPECT_EQ(s.settings.resume_path, nullptr);
  EXPECT_EQ(s.settings.output_path, nullptr);

  s = scan({"-f", "text2", "-1", "no", "-d", "5", "-r", "cp", "-o", "out"});
  ASSERT_TRUE(s.ok);
  EXPECT_EQ(s.settings.format, FORMAT_TEXT2);
  EXPECT_EQ(s.settings.print_lead, 0u);
  EXPECT_NE(s.settings.resume_path, nullptr);
  EXPECT_NE(s.settings.output_path, nullptr);
  EXPECT_EQ(scan({"-d", "1", "-f", "raw"}).settings.format, FORMAT_RAW);
  EXPECT_EQ(scan({"-d", "1", "-f", "binary"}).settings.format, FORMAT_BINARY);
}

TEST(Options, DigitCountReadAsPercentU) {
  EXPECT_EQ(scan({"-d", "12abc"}).settings.digits, 12u);
  EXPECT_EQ(scan({"-d", "  \t42"}).settings.digits, 42u);
  EXPECT_EQ(scan({"-d", "+7"}).settings.digits, 7u);
  EXPECT_EQ(scan({"-d", "0"}).settings.digits, 0u);
  EXPECT_TRUE(scan({"-d", "0"}).ok);  // the start choice, not the scan, refuses it
  EXPECT_FALSE(scan({"-d", "abc"}).ok);
  EXPECT_FALSE(scan({"-d", ""}).ok);
  // A value with no digit leaves the earlier count as it was, but is still an error.
  Scan s = scan({"-d", "9", "-d", "x"});
  EXPECT_FALSE(s.ok);
  EXPECT_EQ(s.settings.digits, 9u);
}

TEST(Options, DigitCountBound) {
  EXPECT_TRUE(scan({"-d", "2147483646"}).ok);
  EXPECT_FALSE(scan({"-d", "2147483647"}).ok);
  EXPECT_FALSE(scan({"-d", "4294967295"}).ok);
  Scan negative = scan({"-d", "-1"});  // wraps to 4294967295
  EXPECT_FALSE(negative.ok);
  EXPECT_EQ(negative.settings.digits, 4294967295u);
}

TEST(Options, WholeArgumentsOnly) {
  EXPECT_FALSE(scan({"-d5"}).ok);
  EXPECT_FALSE(scan({"-dd", "5"}).ok);
  EXPECT_FALSE(scan({"-d", "5", "extra"}).ok);
  EXPECT_FALSE(scan({"-d", "5", "-F", "raw"}).ok);
  EXPECT_FALSE(scan({"-d", "5", "-f", "Text"}).ok);
  EXPECT_FALSE(scan({"-d", "5", "-f", "text "}).ok);
  EXPECT_FALSE(scan({"-d", "5", "-1", "YES"}).ok);
}

TEST(Options, MissingValueAndNoArguments) {
  EXPECT_FALSE(scan({}).ok);
  EXPECT_FALSE(scan({"-d"}).ok);
  EXPECT_FALSE(scan({"-f", "raw", "-d", "10", "-d"}).ok);
  EXPECT_FALSE(scan({"-d", "10", "-o"}).ok);
}

TEST(Options, ValueIsTakenEvenWhenItLooksLikeAnOption) {
  Scan s = scan({"-r", "-o", "-d", "3"});
  ASSERT_TRUE(s.ok);
  EXPECT_STREQ(s.settings.resume_path, "-o");
  EXPECT_EQ(s.settings.output_path, nullptr);
  EXPECT_EQ(s.settings.digits, 3u);
}

TEST(Options, LaterOccurrenceWins) {
  EXPECT_EQ(scan({"-d", "5", "-f", "binary", "-f", "text"}).settings.format, FORMAT_TEXT);
  EXPECT_EQ(scan({"-d", "5", "-d", "8"}).settings.digits, 8u);
  EXPECT_EQ(scan({"-d", "5", "-1", "no", "-1", "yes"}).settings.print_lead, 1u);
}

}  // namespace
