// Breaking a run off with q or a signal, and resuming it, through the real program.
#include <gtest/gtest.h>

#include <signal.h>
#include <termios.h>

#include <filesystem>

#include "checkpoint/checkpoint_file.h"
#include "e2e.h"
#include "loop_state.h"
#include "stored_words.h"

namespace {

// Long enough that the keys and signals below arrive while the series runs, or the direct route.
const std::string LONG_RUN = "1000000";
const std::string LONG_DIRECT_RUN = "30000000";

class Interrupt : public ::testing::Test {
 protected:
  void SetUp() override {
    directory = make_temp_directory();
    path = directory + "/state.bin";
  }
  void TearDown() override { std::filesystem::remove_all(directory); }

  // Starts a run and waits until its series loop is under way.
  Child start(const std::vector<std::string>& args, const ChildOptions& options = {}) {
    Child child = start_child(program(args), options);
    EXPECT_TRUE(wait_for_stderr(child, sjis(MSG_CALCULATING) + SCALE));
    return child;
  }

  std::string directory;
  std::string path;
};

std::string interrupted_console(const std::string& err) {
  // the scale, some marks, then the save's line feed and text
  std::size_t marks_start = sjis(MSG_CALCULATING).size() + SCALE.size();
  std::size_t marks_end = err.find_first_not_of('#', marks_start);
  return err.substr(0, marks_start) + "<marks>" + err.substr(marks_end);
}

TEST_F(Interrupt, QSavesAndAResumeFinishesTheSameRun) {
  ChildOptions terminal;
  terminal.with_terminal = true;
  Child child = start({"-d", LONG_RUN, "-r", path, "-f", "raw"}, terminal);
  type_keys(child, "q");
  ChildResult run = finish_child(&child);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(interrupted_console(run.err),
            sjis(MSG_CALCULATING) + SCALE + "<marks>\n" + sjis(MSG_SAVED));
  std::string saved = read_file(path);
  expect_literal_checkpoint(saved, 1000001);
  EXPECT_EQ(u32_at(saved, 4), 2u) << "the format is stored";

  // The stored format wins over the resumed command line's.
  ChildResult resumed = run_child(program({"-r", path, "-f", "text"}));
  ChildResult whole = run_child(program({"-d", LONG_RUN, "-f", "raw"}));
  EXPECT_EQ(resumed.status, 0);
  EXPECT_EQ(resumed.out, whole.out);
  EXPECT_EQ(without_time(resumed.err), without_time(whole.err));
  EXPECT_EQ(read_file(path), saved) << "resuming leaves the file as it was";
}

TEST_F(Interrupt, RepeatedInterruptionsEndWithTheSameDigits) {
  Child first = start({"-d", LONG_RUN, "-r", path});
  kill(first.pid, SIGTERM);
  ASSERT_EQ(finish_child(&first).status, 0);
  std::uint32_t first_n = u32_at(read_file(path), 20);

  Child second = start({"-r", path});
  kill(second.pid, SIGINT);
  ChildResult stopped = finish_child(&second);
  EXPECT_EQ(stopped.status, 0);
  EXPECT_NE(stopped.err.find(sjis(MSG_SAVED)), std::string::npos);
  std::string saved = read_file(path);
  EXPECT_GT(u32_at(saved, 20), first_n);
  expect_literal_checkpoint(saved, 1000001);

  ChildResult resumed = run_child(program({"-r", path}));
  ChildResult whole = run_child(program({"-d", LONG_RUN}));
  EXPECT_EQ(resumed.out, whole.out);
  EXPECT_EQ(without_time(resumed.err), without_time(whole.err));
}

TEST_F(Interrupt, OtherKeysAndKeysWithoutACheckpointPathAreIgnored) {
  ChildOptions terminal;
  terminal.with_terminal = true;
  Child child = start({"-d", LONG_RUN, "-r", path}, terminal);
  type_keys(child, "Qx ");
  ChildResult run = finish_child(&child);
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("1.4142135623"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(path));
  unsigned long flags = run.terminal_flags;
  EXPECT_TRUE((flags & ICANON) && (flags & ECHO)) << "the terminal mode is restored";

  child = start({"-d", LONG_RUN}, terminal);
  type_keys(child, "q");
  run = finish_child(&child);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(without_time(run.err).find(sjis(MSG_SAVED)), std::string::npos);
  EXPECT_NE(run.out.find("1.4142135623"), std::string::npos);
}

TEST_F(Interrupt, SignalsWithoutACheckpointPathEndTheRunAndRestoreTheTerminal) {
  // Ctrl-C and Ctrl-\ as the shell sends them, and an abort such as a library's.
  for (int signal_number : {SIGINT, SIGQUIT, SIGABRT}) {
    ChildOptions terminal;
    terminal.with_terminal = true;
    Child child = start({"-d", LONG_DIRECT_RUN}, terminal);
    kill(child.pid, signal_number);
    ChildResult run = finish_child(&child);
    EXPECT_EQ(run.status, 128 + signal_number);
    EXPECT_EQ(run.out, "");
    unsigned long flags = run.terminal_flags;
    EXPECT_TRUE((flags & ICANON) && (flags & ECHO)) << signal_number;
  }
}

TEST_F(Interrupt, CtrlBackslashSavesAsTheOtherStopSignalsDo) {
  Child child = start({"-d", LONG_RUN, "-r", path});
  kill(child.pid, SIGQUIT);
  ChildResult run = finish_child(&child);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(interrupted_console(run.err),
            sjis(MSG_CALCULATING) + SCALE + "<marks>\n" + sjis(MSG_SAVED));
  expect_literal_checkpoint(read_file(path), 1000001);
}

TEST_F(Interrupt, QWorksOnceARunStartedInTheBackgroundComesToTheForeground) {
  ChildOptions background;
  background.with_terminal = true;
  background.background_until_file = directory + "/fg";
  // Long enough to be still running once it is back in the foreground (a run in the background
  // goes on computing; 10^6 digits may end within the time it is held there).
  Child child = start({"-d", "10000000", "-r", path}, background);
  type_keys(child, "q");
  EXPECT_FALSE(wait_for_stderr(child, sjis(MSG_SAVED), 300))
      << "a run in the background reads no keys";
  write_file(background.background_until_file, "");
  // Typed until the run, in the foreground now, takes it without waiting for Enter.
  bool saved = false;
  for (int attempt = 0; attempt < 200 && !saved; ++attempt) {
    type_keys(child, "q");
    saved = wait_for_stderr(child, sjis(MSG_SAVED), 100);
  }
  ChildResult run = finish_child(&child);
  EXPECT_TRUE(saved);
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE((run.terminal_flags & ICANON) && (run.terminal_flags & ECHO));
}

TEST_F(Interrupt, FailedSaveKeepsTheEarlierCheckpoint) {
  Child first = start({"-d", LONG_RUN, "-r", path});
  kill(first.pid, SIGTERM);
  ASSERT_EQ(finish_child(&first).status, 0);
  std::string earlier = read_file(path);
  ASSERT_GT(earlier.size(), 24u);

  ChildOptions full_disk;  // the new file cannot grow past half its size
  full_disk.file_size_limit = static_cast<long>(earlier.size() / 2);
  Child second = start({"-d", LONG_RUN, "-r", path}, full_disk);
  kill(second.pid, SIGTERM);
  ChildResult run = finish_child(&second);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(interrupted_console(run.err), sjis(MSG_CALCULATING) + SCALE + "<marks>\n" +
                                              sjis(MSG_WRITE_FAILED) + sjis(MSG_STATE_LOST));
  EXPECT_EQ(read_file(path), earlier);
  std::size_t files = 0;
  for (auto& entry : std::filesystem::directory_iterator(directory)) files += entry.exists();
  EXPECT_EQ(files, 1u) << "the temporary file is removed";
}

TEST_F(Interrupt, UnwritableCheckpointPaths) {
  Child child = start({"-d", LONG_RUN, "-r", directory + "/missing/state.bin"});
  kill(child.pid, SIGTERM);
  ChildResult run = finish_child(&child);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(interrupted_console(run.err), sjis(MSG_CALCULATING) + SCALE + "<marks>\n" +
                                              sjis(MSG_OPEN_FAILED) + sjis(MSG_STATE_LOST));

  child = start({"-d", LONG_RUN, "-r", "/dev/full"});
  kill(child.pid, SIGHUP);
  run = finish_child(&child);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(interrupted_console(run.err), sjis(MSG_CALCULATING) + SCALE + "<marks>\n" +
                                              sjis(MSG_WRITE_FAILED) + sjis(MSG_STATE_LOST));
}

}  // namespace
