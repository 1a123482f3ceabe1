// Saving and loading the state: layout, round trips, refused files and failed saves.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "checkpoint/checkpoint_file.h"
#include "child_process.h"
#include "numbers/series_constants.h"
#include "output/output_format.h"
#include "platform/replace_file.h"
#include "reference.h"
#include "series/series_tuning.h"
#include "stored_words.h"

namespace {

std::uint32_t now = 0;
std::uint32_t fake_clock() { return now += 5; }
int polls_until_stop = -1;
int polls = 0;
bool stop_at_poll() { return ++polls == polls_until_stop; }

SeriesOutcome run_until_poll(CalcState* state, int poll) {
  polls = 0;
  polls_until_stop = poll;
  SeriesControl control;
  control.checkpoint_set = true;
  control.read_clock = fake_clock;
  control.stop_requested = stop_at_poll;
  SeriesTuning one_poll_per_term;
  one_poll_per_term.terms_per_sweep = 1;
  return run_series_tuned(state, control, one_poll_per_term);
}

class Checkpoint : public ::testing::Test {
 protected:
  void SetUp() override {
    directory = make_temp_directory();
    path = directory + "/state.bin";
  }
  void TearDown() override { std::filesystem::remove_all(directory); }

  SaveStatus save(const CalcState& state, const std::string& where) {
    return checkpoint_save(&state, where.c_str());
  }
  LoadStatus load(const std::string& where, CalcState* state) {
    std::FILE* file = std::fopen(where.c_str(), "rb");
    EXPECT_NE(file, nullptr);
    return checkpoint_load(file, state);
  }
  // A genuine checkpoint of `requested` digits after `terms` terms.
  std::string genuine(std::uint32_t requested, int terms) {
    CalcState state;
    EXPECT_TRUE(calc_start_fresh(&state, requested + 1, FORMAT_TEXT2, 1));
    EXPECT_EQ(run_until_poll(&state, terms), SeriesOutcome::INTERRUPTED);
    EXPECT_EQ(save(state, path), SaveStatus::SAVED);
    calc_release(&state);
    return read_file(path);
  }
  void expect_refused(const std::string& bytes, const char* why) {
    write_file(path, bytes);
    CalcState state;
    EXPECT_EQ(load(path, &state), LoadStatus::CORRUPT) << why;
    EXPECT_EQ(state.sum, nullptr);
    EXPECT_EQ(state.term, nullptr);
  }

  std::string directory;
  std::string path;
};

TEST_F(Checkpoint, LayoutIsTheLittleEndianStateImage) {
  CalcState state;
  ASSERT_TRUE(calc_start_fresh(&state, 101, FORMAT_RAW, 0));
  ASSERT_EQ(run_until_poll(&state, 3), SeriesOutcome::INTERRUPTED);
  state.elapsed_ms = 0x0102030405060708ull;
  ASSERT_EQ(save(state, path), SaveStatus::SAVED);
  std::string bytes = read_file(path);
  ASSERT_EQ(bytes.size(), 160u);
  EXPECT_EQ(bytes.substr(0, 24), le32(101) + le32(FORMAT_RAW) + le32(0) +
                                     "\x08\x07\x06\x05\x04\x03\x02\x01" + le32(4));
  for (std::int32_t k = 0; k < 17; ++k) {
    EXPECT_EQ(u32_at(bytes, 24 + 4 * k), state.sum[k]) << k;
    EXPECT_EQ(u32_at(bytes, 24 + 68 + 4 * k), state.term[k]) << k;
  }
  calc_release(&state);
  EXPECT_EQ(genuine(1000, 10).size(), 960u);
  EXPECT_EQ(checkpoint_size(117), 960);
}

TEST_F(Checkpoint, InterruptedAndResumedRunsEqualAnUninterruptedRun) {
  for (std::uint32_t requested : {1u, 100u, 1000u, 2500u}) {
    CalcState whole;
    ASSERT_TRUE(calc_start_fresh(&whole, requested + 1, 0, 1));
    ASSERT_EQ(run_until_poll(&whole, -1), SeriesOutcome::COMPLETED);

    CalcState part;
    ASSERT_TRUE(calc_start_fresh(&part, requested + 1, 0, 1));
    int stops = 0;
    std::uint64_t elapsed_before = 0;
    for (int poll : {1, 2, 7, 40}) {
      if (run_until_poll(&part, poll) != SeriesOutcome::INTERRUPTED) break;
      ++stops;
      ASSERT_EQ(save(part, path), SaveStatus::SAVED);
      elapsed_before = part.elapsed_ms;
      calc_release(&part);
      part = CalcState{};
      ASSERT_EQ(load(path, &part), LoadStatus::LOADED);
      EXPECT_EQ(part.elapsed_ms, elapsed_before);  // the time carries over
      now += 1000000;                              // the clock of a later process
      part.last_clock = now;
    }
    ASSERT_GE(stops, 1);
    ASSERT_EQ(run_until_poll(&part, -1), SeriesOutcome::COMPLETED);
    EXPECT_EQ(part.next_n, whole.next_n) << requested;
    EXPECT_TRUE(std::equal(part.sum, part.sum + part.word_count, whole.sum)) << requested;
    EXPECT_GE(part.elapsed_ms, elapsed_before);
    calc_release(&whole);
    calc_release(&part);
  }
}

TEST_F(Checkpoint, AcceptsTrailingBytesAnyLeadFlagAndAZeroTerm) {
  std::string bytes = genuine(100, 5);
  bytes.replace(8, 4, le32(7));
  write_file(path, bytes + "trailing bytes");
  CalcState state;
  ASSERT_EQ(load(path, &state), LoadStatus::LOADED);
  EXPECT_EQ(state.print_lead, 7u);
  EXPECT_EQ(state.format, FORMAT_TEXT2);
  EXPECT_EQ(state.next_n, 6u);
  EXPECT_LT(state.first_nonzero, state.word_count);
  calc_release(&state);

  bytes.replace(24 + 68, 68, std::string(68, '\0'));  // every word of the term zero
  write_file(path, bytes);
  ASSERT_EQ(load(path, &state), LoadStatus::LOADED);
  EXPECT_EQ(state.first_nonzero, state.word_count);
  calc_release(&state);
}

TEST_F(Checkpoint, RefusesShortAndImpossibleHeaders) {
  std::string bytes = genuine(100, 5);
  expect_refused("", "empty");
  expect_refused(bytes.substr(0, 23), "short header");
  expect_refused(bytes.substr(0, 24), "no arrays");
  expect_refused(std::string(bytes).replace(4, 4, le32(4)), "format 4");
  expect_refused(std::string(bytes).replace(0, 4, le32(0)), "digits 0");
  expect_refused(std::string(bytes).replace(0, 4, le32(0x80000000u)), "digits 2^31");
  expect_refused(std::string(bytes).replace(0, 4, le32(0xFFFFFFFFu)), "digits 2^32-1");
  expect_refused(std::string(bytes).replace(20, 4, le32(0)), "next_n 0");
  // A huge count with a small file is refused before anything is allocated for it.
  expect_refused(std::string(bytes).replace(0, 4, le32(0x7FFFFFFFu)), "digits 2^31-1");
  expect_refused(bytes.substr(0, bytes.size() - 1), "cut inside term");
  expect_refused(bytes.substr(0, 24 + 68 + 10), "cut after sum");
}

TEST_F(Checkpoint, RefusesArraysTheSeriesCannotReach) {
  std::string bytes = genuine(100, 5);
  const std::size_t sum = 24, term = 24 + 68;
  expect_refused(std::string(bytes).replace(sum + 40, 4, le32(WORD_BASE)), "sum word 10^9");
  expect_refused(std::string(bytes).replace(term + 40, 4, le32(0xFFFFFFFFu)), "term word 2^32-1");
  expect_refused(std::string(bytes).replace(term, 4, le32(1)), "term word 0 non-zero");
  expect_refused(std::string(bytes).replace(sum, 68, std::string(68, '\0')), "term above sum");
  expect_refused(std::string(bytes).replace(sum, 4, le32(WORD_ONE + 1)), "sum above 1.0");
  expect_refused(std::string(bytes).replace(sum, 8, le32(WORD_ONE) + le32(1)), "sum just above 1.0");
}

// No file that a run can write holds an index near the limit (the run sequence refuses such a
// state), so the limit is reached from a state crafted in memory.
TEST_F(Checkpoint, StateWithAnIndexPastTheLimitRunsIntoIt) {
  CalcState state;
  ASSERT_TRUE(calc_start_fresh(&state, 101, FORMAT_TEXT, 1));
  ASSERT_EQ(run_until_poll(&state, 5), SeriesOutcome::INTERRUPTED);
  state.next_n = LAST_SERIES_INDEX + 1;
  EXPECT_EQ(run_until_poll(&state, -1), SeriesOutcome::LIMIT);
  EXPECT_EQ(state.next_n, LAST_SERIES_INDEX + 1);
  calc_release(&state);
}

TEST_F(Checkpoint, FailedSavesReportTheLostState) {
  CalcState state;
  ASSERT_TRUE(calc_start_fresh(&state, 101, 0, 1));
  EXPECT_EQ(save(state, directory + "/missing/state.bin"), SaveStatus::OPEN_FAILED);
  EXPECT_EQ(save(state, directory), SaveStatus::OPEN_FAILED);  // a directory is never replaced
  EXPECT_TRUE(std::filesystem::is_directory(directory));
  EXPECT_EQ(save(state, "/dev/full"), SaveStatus::WRITE_FAILED);
  calc_release(&state);
}

TEST_F(Checkpoint, SaveReplacesTheFileWholeAndKeepsItsMode) {
  write_file(path, "an earlier checkpoint");
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  std::string bytes = genuine(100, 3);
  EXPECT_EQ(bytes.size(), 160u);
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  std::size_t files = 0;
  for (auto& entry : std::filesystem::directory_iterator(directory)) files += entry.exists();
  EXPECT_EQ(files, 1u) << "no temporary file is left behind";
}

TEST_F(Checkpoint, SymbolicLinkIsWrittenThrough) {
  std::string target = directory + "/target.bin";
  write_file(target, "old");
  ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
  genuine(100, 2);
  EXPECT_TRUE(std::filesystem::is_symlink(path));
  EXPECT_EQ(read_file(target).size(), 160u);
}

}  // namespace

namespace {

// Saves over an earlier checkpoint on a small file system of its own, which runs out of room or of
// inodes; mounting it needs root, as CI has.
class CheckpointOnASmallDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    directory = make_temp_directory();
    if (mount("none", directory.c_str(), "tmpfs", 0, "size=256k,nr_inodes=32") != 0) {
      GTEST_SKIP() << "mounting a small tmpfs needs root";
    }
    mounted = true;
    ASSERT_TRUE(calc_start_fresh(&small, 1001, FORMAT_TEXT, 1));
    ASSERT_TRUE(calc_start_fresh(&too_large, 400001, FORMAT_TEXT, 1));  // 355 KB
  }
  void TearDown() override {
    calc_release(&small);
    calc_release(&too_large);
    if (mounted) umount2(directory.c_str(), MNT_DETACH);
    std::filesystem::remove_all(directory);
  }
  // Saves `small` to `path`, then fails to save `too_large` there: the first file must survive.
  void expect_failed_save_keeps(const std::string& path, const std::string& where) {
    ASSERT_EQ(checkpoint_save(&small, path.c_str()), SaveStatus::SAVED);
    const std::string earlier = read_file(where);
    ASSERT_EQ(earlier.size(), 960u);
    EXPECT_NE(checkpoint_save(&too_large, path.c_str()), SaveStatus::SAVED);
    EXPECT_EQ(read_file(where), earlier);
  }
  std::string directory;
  bool mounted = false;
  CalcState small, too_large;
};

TEST_F(CheckpointOnASmallDisk, LongNameKeepsTheEarlierFile) {
  const std::string path = directory + "/" + std::string(250, 'c');
  expect_failed_save_keeps(path, path);
}

TEST_F(CheckpointOnASmallDisk, SymbolicLinkKeepsItsTargetsEarlierFile) {
  const std::string target = directory + "/target.bin", link = directory + "/link.bin";
  ASSERT_EQ(symlink("target.bin", link.c_str()), 0);
  expect_failed_save_keeps(link, target);
  EXPECT_TRUE(std::filesystem::is_symlink(link));
}

TEST_F(CheckpointOnASmallDisk, OutOfInodesWritesInPlaceOnlyWithRoom) {
  const std::string path = directory + "/state.bin";
  ASSERT_EQ(checkpoint_save(&small, path.c_str()), SaveStatus::SAVED);
  for (int i = 0; std::ofstream(directory + "/filler" + std::to_string(i)).good(); ++i) {
  }
  small.elapsed_ms = 12345;  // a later state of the same size fits in place
  ASSERT_EQ(checkpoint_save(&small, path.c_str()), SaveStatus::SAVED);
  const std::string later = read_file(path);
  EXPECT_EQ(later.substr(12, 2), "\x39\x30");
  EXPECT_NE(checkpoint_save(&too_large, path.c_str()), SaveStatus::SAVED);
  EXPECT_EQ(read_file(path), later);
}

TEST_F(Checkpoint, StaleTemporaryFilesOfThisCheckpointAloneAreRemoved) {
  const std::string stem = directory + "/" + temp_name_stem("state.bin");
  write_file(stem + "abc123", "left by a save killed with -9");
  write_file(stem + "def456", "another process's save in progress");
  write_file(path + ".backup", "the user's own");
  write_file(directory + "/" + temp_name_stem("other.bin") + "abc123", "another checkpoint's");
  int in_progress = open((stem + "def456").c_str(), O_RDONLY);
  ASSERT_EQ(flock(in_progress, LOCK_EX), 0);
  genuine(100, 2);
  close(in_progress);
  std::set<std::string> names;
  for (auto& entry : std::filesystem::directory_iterator(directory)) {
    names.insert(entry.path().filename().string());
  }
  EXPECT_EQ(names, (std::set<std::string>{"state.bin", "state.bin.backup",
                                          temp_name_stem("state.bin") + "def456",
                                          temp_name_stem("other.bin") + "abc123"}));
}

}  // namespace
