// Saving and loading the state: layout, round trips, refused files and failed saves.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "checkpoint/checkpoint_file.h"
#include "child_process.h"
#include "numbers/series_constants.h"
#include "output/output_format.h"
#include "reference.h"
#include "series_runs.h"
#include "series/series_tuning.h"
#include "stored_words.h"
#include "platform/available_memory.h"

namespace {

std::uint32_t now = 0;
std::uint32_t fake_clock() { return now += 5; }
SeriesOutcome run_until_poll(CalcState* state, int poll) {
  stop_at_poll(poll);
  SeriesControl control;
  control.checkpoint_set = true;
  control.read_clock = fake_clock;
  control.stop_requested = polled_stop;
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
  LoadStatus load(const std::string& where, CalcState* state,
                  std::uint64_t memory_room = MEMORY_UNKNOWN) {
    std::FILE* file = std::fopen(where.c_str(), "rb");
    EXPECT_NE(file, nullptr);
    return checkpoint_load(file, state, memory_room);
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
  EXPECT_EQ(bytes.substr(0, 24),
            le32(101) + le32(FORMAT_RAW) + le32(0) + "\x08\x07\x06\x05\x04\x03\x02\x01" + le32(4));
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
  expect_refused(std::string(bytes).replace(sum, 8, le32(WORD_ONE) + le32(1)),
                 "sum just above 1.0");
}

// Numbers that would take more than the memory there is are refused before anything is allocated
// for them (the system would kill the run part way otherwise), from a file or a pipe alike.
TEST_F(Checkpoint, NumbersBeyondTheMemoryRoomAreRefused) {
  const std::string bytes = genuine(5000, 7);
  const auto words = static_cast<std::uint64_t>(bytes.size() - CHECKPOINT_HEADER_BYTES) / 8;
  const std::uint64_t numbers = 2 * words * sizeof(Word);
  CalcState state;
  EXPECT_EQ(load(path, &state, numbers - 1), LoadStatus::NO_MEMORY);
  EXPECT_EQ(state.sum, nullptr);
  EXPECT_EQ(state.term, nullptr);
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  ASSERT_EQ(::write(ends[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  ::close(ends[1]);
  EXPECT_EQ(checkpoint_load(::fdopen(ends[0], "rb"), &state, numbers - 1), LoadStatus::NO_MEMORY);
  EXPECT_EQ(state.sum, nullptr);
  ASSERT_EQ(load(path, &state, numbers), LoadStatus::LOADED);
  EXPECT_EQ(static_cast<std::uint64_t>(state.word_count), words);
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
