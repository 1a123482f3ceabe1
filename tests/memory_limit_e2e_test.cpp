// Runs under a real memory cgroup, as a container's limit or a small machine sets one: whatever
// the limit, a run ends with the right digits, a saved state, or MSG_NO_MEMORY, never killed.
// The cgroup is made for the test when it runs as root on a system with cgroup v1's memory
// controller or cgroup v2 with the memory controller delegated; the tests skip otherwise.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "e2e.h"
#include "platform/available_memory.h"
#include "reference.h"

namespace {

// A cgroup of its own beside nothing else, with a limit on its memory.
class MemoryCgroup {
 public:
  MemoryCgroup() {
    const std::string parent = memory_cgroup_folder("");
    if (geteuid() != 0 || parent.empty()) return;
    const std::string made = parent + "/tindermoss-test-" + std::to_string(getpid());
    std::error_code error;
    std::filesystem::create_directory(made, error);
    if (error) return;
    folder = made;
    limit_file = std::filesystem::exists(folder + "/memory.limit_in_bytes")
                     ? folder + "/memory.limit_in_bytes"
                     : folder + "/memory.max";
    if (!std::filesystem::exists(limit_file)) limit_file.clear();
  }
  ~MemoryCgroup() {
    if (!folder.empty()) rmdir(folder.c_str());
  }
  bool usable() const { return !limit_file.empty(); }
  bool limit(long megabytes) const {
    std::ofstream file(limit_file);
    file << (megabytes << 20) << "\n";
    file.close();
    return !file.fail();
  }
  std::string folder;

 private:
  std::string limit_file;
};

class MemoryLimit : public ::testing::Test {
 protected:
  void SetUp() override {
#if defined(__SANITIZE_ADDRESS__)
    // Its shadow memory and its quarantine of freed chunks are in no route's model of its peak,
    // so a limit near a run's need ends the sanitized program where the real one fits.
    GTEST_SKIP() << "the address sanitizer's own memory is not in the routes' models";
#endif
    if (!cgroup.usable() || !cgroup.limit(1024)) {
      GTEST_SKIP() << "no memory cgroup with a limit can be made here (needs root)";
    }
    directory = make_temp_directory();
    options.cgroup = cgroup.folder;
  }
  void TearDown() override {
    if (!directory.empty()) std::filesystem::remove_all(directory);
  }
  MemoryCgroup cgroup;
  ChildOptions options;
  std::string directory;
};

// From a limit where only the series' numbers fit to one where the direct route does: the right
// digits every time (a slower route where the quicker do not fit), never a signal; where not even
// the series' numbers fit (10^8 digits take 89 MB), MSG_NO_MEMORY and status 1 before anything
// is computed.
TEST_F(MemoryLimit, RunsWithoutACheckpointFileFinishOrReportNoMemory) {
  const std::string output = directory + "/out.txt";
  const std::string expected = "1." + sqrt2_digits(1000000);
  for (const long megabytes : {16L, 32L, 48L, 96L}) {
    ASSERT_TRUE(cgroup.limit(megabytes));
    std::filesystem::remove(output);
    ChildResult run = run_child(program({"-d", "1000000", "-f", "raw", "-o", output}), options);
    EXPECT_EQ(run.status, 0) << megabytes << " MB";
    EXPECT_TRUE(read_file(output) == expected) << megabytes << " MB";
  }
  ASSERT_TRUE(cgroup.limit(32));
  ChildResult refused = run_child(program({"-d", "100000000", "-o", output}), options);
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, sjis(MSG_NO_MEMORY));
}

// With a checkpoint file under limits around the block engine's need: a stop signal saves the
// loop's state, and the resume, with no limit, ends with the digits.
TEST_F(MemoryLimit, StopSignalsSaveUnderEveryLimit) {
  const std::string path = directory + "/state.bin";
  const std::string expected = "1." + sqrt2_digits(1000000) + "\n";  // raw to standard output
  for (const long megabytes : {16L, 48L, 96L, 160L}) {
    ASSERT_TRUE(cgroup.limit(megabytes));
    std::filesystem::remove(path);
    Child child = start_child(program({"-d", "1000000", "-r", path, "-f", "raw"}), options);
    ASSERT_TRUE(wait_for_stderr(child, sjis(MSG_CALCULATING) + SCALE)) << megabytes << " MB";
    kill(child.pid, SIGTERM);
    ChildResult stopped = finish_child(&child);
    EXPECT_EQ(stopped.status, 0) << megabytes << " MB";
    if (stopped.err.find(sjis(MSG_SAVED)) == std::string::npos) {
      // The run was quicker than the signal: it completed.
      EXPECT_TRUE(stopped.out == expected) << megabytes << " MB";
      continue;
    }
    ChildResult resumed = run_child(program({"-r", path}));
    EXPECT_EQ(resumed.status, 0) << megabytes << " MB";
    EXPECT_TRUE(resumed.out == expected) << megabytes << " MB";
  }
}

}  // namespace
