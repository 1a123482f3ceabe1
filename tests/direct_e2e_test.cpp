// Runs without a checkpoint file take the direct route; runs with one take the series. Both must
// write the same bytes.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "e2e.h"

namespace {

class DirectRoute : public ::testing::Test {
 protected:
  void SetUp() override { directory = make_temp_directory(); }
  void TearDown() override { std::filesystem::remove_all(directory); }

  // The same run through the direct route and, naming a checkpoint path, through the series.
  void expect_same_bytes(const std::string& digits, const std::vector<std::string>& options) {
    std::vector<std::string> direct = {"-d", digits};
    direct.insert(direct.end(), options.begin(), options.end());
    std::vector<std::string> series = direct;
    series.insert(series.end(), {"-r", directory + "/never-written.ckpt"});
    ChildResult a = run_child(program(direct));
    ChildResult b = run_child(program(series));
    std::string what = digits + " digits with";
    for (const std::string& option : options) what += " " + option;
    EXPECT_EQ(a.status, b.status) << what;
    EXPECT_EQ(a.out, b.out) << what;
    EXPECT_EQ(without_time(a.err), without_time(b.err)) << what;
    EXPECT_EQ(without_time(a.err).find("<malformed"), std::string::npos) << what;
  }

  std::string directory;
};

TEST_F(DirectRoute, SameBytesAsTheSeriesInEveryFormat) {
  std::vector<std::string> counts;
  for (int n = 1; n <= 30; ++n) counts.push_back(std::to_string(n));
  for (const char* n : {"99", "100", "101", "999", "1000", "1001", "1999", "2000", "10000"}) {
    counts.push_back(n);
  }
  std::mt19937 rng(2718);
  for (int round = 0; round < 4; ++round) {
    counts.push_back(std::to_string(std::uniform_int_distribution<int>(2001, 100000)(rng)));
  }
  for (const std::string& n : counts) {
    for (const char* format : {"text", "text2", "raw", "binary"}) {
      expect_same_bytes(n, {"-f", format, "-1", "yes"});
      expect_same_bytes(n, {"-f", format, "-1", "no"});
    }
  }
}

// Every count up to 2000, a format per test so that they can run side by side; the "1." setting
// alternates with the count.
class DirectRouteEveryCount : public DirectRoute,
                              public ::testing::WithParamInterface<const char*> {};

TEST_P(DirectRouteEveryCount, SameBytesAsTheSeriesUpTo2000) {
  for (int n = 1; n <= 2000; ++n) {
    expect_same_bytes(std::to_string(n), {"-f", GetParam(), "-1", n % 2 ? "yes" : "no"});
    if (HasFailure()) return;
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, DirectRouteEveryCount,
                         ::testing::Values("text", "text2", "raw", "binary"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param);
                         });

TEST_F(DirectRoute, SameResultFiles) {
  for (const char* format : {"text", "binary"}) {
    std::string direct = directory + "/direct." + format;
    std::string series = directory + "/series." + format;
    ChildResult a = run_child(program({"-d", "4321", "-f", format, "-o", direct}));
    ChildResult b =
        run_child(program({"-d", "4321", "-f", format, "-o", series, "-r", directory + "/x"}));
    EXPECT_EQ(a.status, 0);
    EXPECT_EQ(b.status, 0);
    EXPECT_EQ(read_file(direct), read_file(series)) << format;
    EXPECT_EQ(a.out, b.out);
  }
}

TEST_F(DirectRoute, WriteFailuresAreReportedAlike) {
  ChildOptions to_full_disk;
  to_full_disk.stdout_path = "/dev/full";
  ChildResult a = run_child(program({"-d", "3000"}), to_full_disk);
  ChildResult b = run_child(program({"-d", "3000", "-r", directory + "/x"}), to_full_disk);
  EXPECT_EQ(a.status, 1);
  EXPECT_EQ(b.status, 1);
  EXPECT_EQ(without_time(a.err), without_time(b.err));
}

}  // namespace
