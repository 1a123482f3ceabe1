// Stop signals while the result is written, through the real program: a first one lets the write
// finish and the run end as a completed run; a second ends the write at once and reports the
// failed write (that a given-up write takes back its result file is checked with the writer).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "e2e.h"
#include "reference.h"

namespace {

constexpr std::uint32_t DIGITS = 1000000;

class WriteSignals : public ::testing::Test {
 protected:
  void SetUp() override {
    directory = make_temp_directory();
    pipe_path = directory + "/result.pipe";
    ASSERT_EQ(mkfifo(pipe_path.c_str(), 0600), 0);
    expected = "1." + sqrt2_digits(DIGITS);
  }
  void TearDown() override { std::filesystem::remove_all(directory); }

  // Reads the pipe the child writes its result into: the first 64 KB, then `signals` arrive, then
  // the rest to its end. The program blocks on the full pipe, so they arrive during the write.
  std::string read_with_signals(const Child& child, const std::vector<int>& signals) {
    const int in = open(pipe_path.c_str(), O_RDONLY);
    EXPECT_GE(in, 0);
    std::string bytes;
    char buffer[1 << 16];
    bool signalled = false;
    for (ssize_t got; (got = read(in, buffer, sizeof buffer)) > 0;) {
      bytes.append(buffer, static_cast<std::size_t>(got));
      if (!signalled && bytes.size() >= sizeof buffer) {
        for (int signal_number : signals) kill(child.pid, signal_number);
        signalled = true;
      }
    }
    close(in);
    return bytes;
  }

  std::string directory, pipe_path, expected;
};

TEST_F(WriteSignals, OneStopLetsTheWriteFinish) {
  Child child = start_child(program({"-d", std::to_string(DIGITS), "-f", "raw", "-o", pipe_path}));
  const std::string bytes = read_with_signals(child, {SIGTERM});
  ChildResult run = finish_child(&child);
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(bytes == expected) << bytes.size() << " bytes";
  EXPECT_EQ(run.out, "\n");
  const std::string written = sjis(MSG_WRITING) + FULL_BAR;  // ends as a completed run's console
  EXPECT_EQ(run.err.substr(run.err.size() - std::min(run.err.size(), written.size())), written);
}

TEST_F(WriteSignals, ASecondStopEndsTheWriteToAPipeOrStandardOutput) {
  for (const bool to_standard_output : {false, true}) {
    ChildOptions options;
    std::vector<std::string> args = {"-d", std::to_string(DIGITS), "-f", "raw"};
    if (to_standard_output) {
      options.stdout_path = pipe_path;
    } else {
      args.insert(args.end(), {"-o", pipe_path});
    }
    Child child = start_child(program(args), options);
    const std::string bytes = read_with_signals(child, {SIGTERM, SIGINT});
    ChildResult run = finish_child(&child);
    EXPECT_EQ(run.status, 1) << to_standard_output;
    EXPECT_LT(bytes.size(), expected.size()) << to_standard_output;
    EXPECT_TRUE(expected.compare(0, bytes.size(), bytes) == 0) << to_standard_output;
    EXPECT_EQ(run.err.substr(run.err.size() - sjis(MSG_WRITE_FAILED).size()),
              sjis(MSG_WRITE_FAILED));
  }
}

}  // namespace
