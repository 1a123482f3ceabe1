// Bad command lines, and the choice between a fresh start and a resume, through the real program.
#include <gtest/gtest.h>

#include "e2e.h"
#include "reference.h"

namespace {

void expect_usage(const std::vector<std::string>& args) {
  ChildResult run = run_child(program(args));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, sjis(MSG_USAGE));
  EXPECT_EQ(run.out, "");
}

TEST(Usage, BadCommandLines) {
  expect_usage({});
  expect_usage({"-d"});
  expect_usage({"-f", "raw", "-d", "10", "-d"});  // valid options before the missing value
  expect_usage({"-d", "10", "extra"});
  expect_usage({"extra", "-d", "10"});
  expect_usage({"-d", "abc"});
  expect_usage({"-d", "0"});
  expect_usage({"-d5"});
  expect_usage({"-d", "10", "-f", "Raw"});
  expect_usage({"-d", "10", "-1", "maybe"});
  expect_usage({"-f", "raw"});  // no digit count and no checkpoint
}

TEST(Usage, DigitCountsBeyondTheBound) {
  expect_usage({"-d", "2147483647"});
  expect_usage({"-d", "-1"});
  expect_usage({"-d", "99999999999999999999"});
}

TEST(Usage, TrailingTextAfterTheDigitCountIsIgnored) {
  ChildResult run = run_child(program({"-d", "12abc"}));
  EXPECT_EQ(run.status, 0);
  std::string d = sqrt2_digits(12);
  EXPECT_EQ(run.out, "1." + d.substr(0, 10) + " " + d.substr(10) + "\n");
}

TEST(Usage, LaterFormatWins) {
  ChildResult run = run_child(program({"-d", "20", "-f", "binary", "-f", "text", "-1", "no"}));
  EXPECT_EQ(run.status, 0);
  std::string d = sqrt2_digits(20);
  EXPECT_EQ(run.out, d.substr(0, 10) + " " + d.substr(10) + " \n");
}

TEST(Usage, MissingCheckpointFileMeansOneDigitPosition) {
  std::string directory = make_temp_directory();
  ChildResult run = run_child(program({"-r", directory + "/none.bin"}));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "1.\n");
  EXPECT_EQ(without_time(run.err), completed_console(7));
  run = run_child(program({"-r", directory + "/none.bin", "-1", "no", "-f", "raw"}));
  EXPECT_EQ(run.out, "\n");
  rmdir(directory.c_str());
}

TEST(Usage, DigitCountWithACheckpointPathStartsFresh) {
  std::string directory = make_temp_directory();
  std::string path = directory + "/state.bin";
  write_file(path, "not a checkpoint");
  ChildResult run = run_child(program({"-d", "10", "-r", path}));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "1." + sqrt2_digits(10) + " \n");
  EXPECT_EQ(read_file(path), "not a checkpoint");
  unlink(path.c_str());
  rmdir(directory.c_str());
}

}  // namespace

namespace {

// The pseudo-terminal turns each line feed into a carriage return and a line feed.
std::string as_on_terminal(std::string_view text) {
  std::string shown;
  for (char c : text) {
    if (c == '\n') shown += '\r';
    shown += c;
  }
  return shown;
}

TEST(ConsoleEncoding, Utf8TerminalGetsUtf8Texts) {
  ChildOptions terminal;
  terminal.with_terminal = true;
  terminal.stderr_to_terminal = true;
  terminal.locale = "C.UTF-8";
  ChildResult run = run_child(program({}), terminal);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.terminal_output, as_on_terminal(message_text(MSG_USAGE, ConsoleEncoding::UTF8)));

  terminal.locale = "C";  // a terminal that is not UTF-8 gets the Shift_JIS bytes
  run = run_child(program({}), terminal);
  EXPECT_EQ(run.terminal_output,
            as_on_terminal(message_text(MSG_USAGE, ConsoleEncoding::SHIFT_JIS)));
}

}  // namespace
