// Checkpointable runs large enough for the block-splitting engine, through the real program: a q
// in the middle of a run saves the loop's own state at the last block boundary, the resume ends
// with the bytes of a run without a checkpoint file, and a run whose engine memory cannot be had
// still ends with the right digits.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>

#include "e2e.h"
#include "loop_state.h"
#include "reference.h"
#include "stored_words.h"

namespace {

class BlockEngineRun : public ::testing::Test {
 protected:
  void SetUp() override {
    directory = make_temp_directory();
    path = directory + "/state.bin";
  }
  void TearDown() override { std::filesystem::remove_all(directory); }
  std::string directory;
  std::string path;
};

TEST_F(BlockEngineRun, QInTheMiddleSavesTheLoopsStateAndTheResumeEndsWithTheSameBytes) {
  const std::string digits = "1000000";
  const std::uint32_t final_n = 127900;  // of 10^6 digits
  ChildOptions terminal;
  terminal.with_terminal = true;
  // A q after the bar's tenth mark lands somewhere in the run; should the run have ended first,
  // the next try types it after the fifth.
  std::string saved;
  for (int marks : {10, 5, 2, 1}) {
    std::filesystem::remove(path);
    Child child = start_child(program({"-d", digits, "-r", path, "-f", "raw"}), terminal);
    ASSERT_TRUE(wait_for_stderr(child, SCALE + std::string(static_cast<std::size_t>(marks), '#')));
    type_keys(child, "q");
    ChildResult run = finish_child(&child);
    ASSERT_EQ(run.status, 0);
    if (run.err.find(sjis(MSG_SAVED)) == std::string::npos) continue;
    saved = read_file(path);
    break;
  }
  ASSERT_FALSE(saved.empty()) << "no try was broken off";
  EXPECT_GT(u32_at(saved, 20), final_n / 20);
  EXPECT_LT(u32_at(saved, 20), final_n);
  expect_literal_checkpoint(saved, 1000001);

  ChildResult resumed = run_child(program({"-r", path}));
  ChildResult whole = run_child(program({"-d", digits, "-f", "raw"}));
  EXPECT_EQ(resumed.status, 0);
  EXPECT_TRUE(resumed.out == whole.out) << "the digits of a run without a checkpoint file";
  EXPECT_EQ(without_time(resumed.err), completed_console(final_n));
}

// The time saved with the state is the computing time up to the key, as the loop keeps it: the
// save's conversions back into words (most of a second at this size) are not in it.
TEST_F(BlockEngineRun, TheSavedTimeEndsAtTheKey) {
  using Clock = std::chrono::steady_clock;
  ChildOptions terminal;
  terminal.with_terminal = true;
  const Clock::time_point started = Clock::now();
  Child child = start_child(
      program({"-d", "10000000", "-r", path, "-f", "raw", "-o", directory + "/digits.txt"}),
      terminal);
  ASSERT_TRUE(wait_for_stderr(child, SCALE + "#####"));
  const Clock::time_point typed = Clock::now();
  type_keys(child, "q");
  ChildResult run = finish_child(&child);
  const Clock::time_point saved_at = Clock::now();
  ASSERT_EQ(run.status, 0);
  ASSERT_NE(run.err.find(sjis(MSG_SAVED)), std::string::npos);
  const std::string saved = read_file(path);
  const std::uint64_t elapsed_ms = u32_at(saved, 12) | std::uint64_t{u32_at(saved, 16)} << 32;
  const auto ms = [](Clock::duration d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
  };
  // The key is seen within the watcher's next look, a few tens of milliseconds.
  EXPECT_LE(elapsed_ms, static_cast<std::uint64_t>(ms(typed - started) + 400))
      << "the save took " << ms(saved_at - typed) << " ms after the key";
  EXPECT_GT(elapsed_ms, 0u);
}

// Under address-space limits around the engine's need, a checkpointable run ends with the right
// digits, by the block engine or the sweep engine, or with MSG_NO_MEMORY: never a signal.
TEST_F(BlockEngineRun, AddressSpaceLimitsTakeTheSweepEngineOrReportNoMemory) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "sanitizer runtimes cannot start under an address-space limit";
#else
  const std::string output = directory + "/out.txt";
  const std::string expected = "1." + sqrt2_digits(300000);
  int completed = 0;
  for (const long megabytes : {12L, 24L, 40L, 64L, 128L}) {
    std::filesystem::remove(path);
    ChildOptions limited;
    limited.address_space_limit = megabytes << 20;
    ChildResult run =
        run_child(program({"-d", "300000", "-r", path, "-f", "raw", "-o", output}), limited);
    if (run.status == 0) {
      ++completed;
      EXPECT_TRUE(read_file(output) == expected) << megabytes << " MB";
    } else {
      EXPECT_EQ(run.status, 1) << megabytes << " MB";
      EXPECT_EQ(run.err.substr(run.err.size() - sjis(MSG_NO_MEMORY).size()), sjis(MSG_NO_MEMORY));
    }
  }
  EXPECT_GE(completed, 3);
#endif
}

}  // namespace
