// Checkpointable runs large enough for the block-splitting engine, through the real program: a q
// in the middle of a run saves the loop's own state at the last block boundary, the resume ends
// with the bytes of a run without a checkpoint file, and a run whose engine memory cannot be had
// still ends with the right digits.
#include <gtest/gtest.h>

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
