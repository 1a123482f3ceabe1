// Complete runs through the real program: console bytes, results, files and failures.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "checkpoint/checkpoint_file.h"
#include "e2e.h"
#include "numbers/series_constants.h"
#include "reference.h"
#include "series/series.h"
#include "stored_words.h"

namespace {

// sqrt(2) in the text layout, built from GMP's digits.
std::string text_layout(const std::string& digits, bool lead) {
  std::string text = lead ? "1." : "";
  for (std::size_t i = 1; i <= digits.size(); ++i) {
    text += digits[i - 1];
    if (i % 100 == 0) {
      text += lead ? "\n  " : "\n";
    } else if (i % 10 == 0) {
      text += ' ';
    }
  }
  return text;
}

class Run : public ::testing::Test {
 protected:
  void SetUp() override { directory = make_temp_directory(); }
  void TearDown() override { std::filesystem::remove_all(directory); }
  std::string directory;
};

TEST_F(Run, ThousandDigits) {
  ChildResult run = run_child(program({"-d", "1000"}));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(without_time(run.err), completed_console(135));
  EXPECT_EQ(run.out, text_layout(sqrt2_digits(1000), true) + "\n");
}

TEST_F(Run, EveryFormatToAFile) {
  std::string d = sqrt2_digits(1000);
  std::string packed;
  for (std::size_t i = 0; i + 1 < d.size(); i += 2) {
    packed += static_cast<char>((d[i] - '0') * 16 + (d[i + 1] - '0'));
  }
  const std::pair<const char*, std::string> formats[] = {
      {"text", text_layout(d, true)},
      {"raw", "1." + d},
      {"binary", packed},
  };
  for (const auto& [format, expected] : formats) {
    std::string path = directory + "/out." + format;
    ChildResult run = run_child(program({"-d", "1000", "-f", format, "-o", path}));
    EXPECT_EQ(run.status, 0) << format;
    EXPECT_EQ(run.out, "\n") << format;  // the final line feed goes to standard output
    EXPECT_EQ(read_file(path), expected) << format;
    EXPECT_EQ(without_time(run.err), completed_console(135)) << format;
  }
  std::string path = directory + "/out.text2";
  ASSERT_EQ(run_child(program({"-d", "1000", "-f", "text2", "-o", path, "-1", "no"})).status, 0);
  std::string text2 = read_file(path);
  EXPECT_EQ(text2.substr(text2.size() - 7), " -1000\n");
}

TEST_F(Run, UnopenableResultFileFallsBackToStandardOutput) {
  ChildResult run = run_child(program({"-d", "1000", "-o", directory + "/missing/out.txt"}));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, text_layout(sqrt2_digits(1000), true) + "\n");
  EXPECT_FALSE(std::filesystem::exists(directory + "/missing"));
}

TEST_F(Run, FailedResultWritesAreReported) {
  ChildOptions to_full_disk;
  to_full_disk.stdout_path = "/dev/full";
  ChildResult run = run_child(program({"-d", "1000"}), to_full_disk);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(without_time(run.err), completed_console(135) + sjis(MSG_WRITE_FAILED));

  run = run_child(program({"-d", "1000", "-o", "/dev/full"}));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "\n");
  EXPECT_EQ(without_time(run.err), completed_console(135) + sjis(MSG_WRITE_FAILED));

  ChildOptions small_files;  // a result file cut short by a full disk
  small_files.file_size_limit = 500;
  run = run_child(program({"-d", "1000", "-o", directory + "/out.txt"}), small_files);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(without_time(run.err), completed_console(135) + sjis(MSG_WRITE_FAILED));
}

TEST_F(Run, ClosedStandardStreamsNeitherCorruptNorLoseTheResult) {
  const std::string path = directory + "/out.txt";
  ChildOptions closed_error, closed_output;
  closed_error.closed_descriptors = 1u << 2;
  closed_output.closed_descriptors = 1u << 1;
  for (const char* checkpoint : {"", "-r"}) {  // the direct route and the series
    std::vector<std::string> args{"-d", "1000", "-f", "raw", "-o", path};
    if (*checkpoint != '\0') args.insert(args.end(), {"-r", directory + "/never-written"});
    ChildResult run = run_child(program(args), closed_error);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(read_file(path), "1." + sqrt2_digits(1000)) << "no progress marks in the file";

    run = run_child(program(args), closed_output);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(read_file(path), "1." + sqrt2_digits(1000)) << "no line feed at its end";
  }
  ChildResult run = run_child(program({"-d", "1000"}), closed_output);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(without_time(run.err), completed_console(135) + sjis(MSG_WRITE_FAILED));
}

// Under a limit on the address space a run ends with the right digits, through the direct route
// (on one thread if a second cannot be had) or the series, or with MSG_NO_MEMORY: never a signal.
TEST_F(Run, AddressSpaceLimitsNeverEndARunWithASignal) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "sanitizer runtimes cannot start under an address-space limit";
#elif !defined(TINDERMOSS_HAVE_GMP_ROUTES)
  GTEST_SKIP() << "without the direct route, 10^7 digits take the series for minutes";
#else
  const std::string path = directory + "/out.txt";
  struct Case {
    std::uint32_t digits;
    long megabytes;
  };
  // Every 2 MB above the direct route's need at 10^7 digits, where it runs on GMP's products
  // alone (runs there once ended with an abort when its region left too little address space for
  // a thread's stack and malloc's small allocations); below its need at 10^6, where the series
  // takes over. That need (about 116 MB, the process's own mappings included, which vary by a MB
  // or so with the machine) is not stepped on: at 10^7 digits the sweep engine would take hours.
  const Case cases[] = {{10000000, 120}, {10000000, 122}, {10000000, 124}, {10000000, 126},
                        {10000000, 128}, {10000000, 130}, {10000000, 132}, {1000000, 16}};
  std::string expected;
  for (const Case& limits : cases) {
    if (expected.size() != limits.digits + 2) expected = "1." + sqrt2_digits(limits.digits);
    ChildOptions limited;
    limited.address_space_limit = limits.megabytes << 20;
    ChildResult run =
        run_child(program({"-d", std::to_string(limits.digits), "-f", "raw", "-o", path}), limited);
    if (run.status == 0) {
      EXPECT_TRUE(read_file(path) == expected)
          << limits.digits << " digits, " << limits.megabytes << " MB";
    } else {
      EXPECT_EQ(run.status, 1) << limits.digits << " digits, " << limits.megabytes << " MB";
      EXPECT_EQ(run.err.substr(run.err.size() - sjis(MSG_NO_MEMORY).size()), sjis(MSG_NO_MEMORY));
    }
  }
#endif
}

TEST_F(Run, FailedAllocationIsReported) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "sanitizer runtimes cannot start under an address-space limit";
#else
  ChildOptions limited;
  limited.address_space_limit = 256L << 20;
  ChildResult run = run_child(program({"-d", "2000000000"}), limited);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, sjis(MSG_NO_MEMORY));
  EXPECT_EQ(run.out, "");
#endif
}

// A genuine checkpoint of a 100-digit run after a few terms, with next_n changed.
std::string checkpoint_with_index(const std::string& path, std::uint32_t next_n) {
  CalcState state;
  EXPECT_TRUE(calc_start_fresh(&state, 101, 0, 1));
  state.next_n = next_n;
  EXPECT_EQ(checkpoint_save(&state, path.c_str()), SaveStatus::SAVED);
  calc_release(&state);
  return read_file(path);
}

// The state of a real 1000-digit run when it holds term `next_n`, saved to `path`.
std::string real_checkpoint(const std::string& path, std::uint32_t next_n) {
  static std::uint32_t stop_at;
  static const CalcState* running;
  CalcState state;
  EXPECT_TRUE(calc_start_fresh(&state, 1001, 0, 1));
  stop_at = next_n;
  running = &state;
  SeriesControl control;
  control.checkpoint_set = true;
  control.read_clock = [] { return 0u; };
  control.stop_requested = [] { return running->next_n == stop_at; };
  if (next_n > 1) {
    EXPECT_EQ(run_series_literal(&state, control), SeriesOutcome::INTERRUPTED);
  }
  EXPECT_EQ(checkpoint_save(&state, path.c_str()), SaveStatus::SAVED);
  calc_release(&state);
  return read_file(path);
}

// A state no run can reach would print wrong digits: such files are refused, and real ones taken.
TEST_F(Run, UnreachableCheckpointsAreRefused) {
  const std::string path = directory + "/state.bin";
  for (std::uint32_t next_n : {1u, 2u, 50u, 134u}) {
    real_checkpoint(path, next_n);
    ChildResult run = run_child(program({"-r", path}));
    EXPECT_EQ(run.status, 0) << next_n;
    EXPECT_EQ(run.out, text_layout(sqrt2_digits(1000), true) + "\n") << next_n;
  }
  const std::size_t sum = 24, term = 24 + 4 * 117;
  std::string at_50 = real_checkpoint(path, 50);
  std::size_t lead = term;
  while (u32_at(at_50, lead) == 0) lead += 4;
  const std::string unreachable[] = {
      std::string(at_50).replace(20, 4, le32(49)),
      std::string(at_50).replace(20, 4, le32(51)),
      std::string(at_50).replace(20, 4, le32(LAST_SERIES_INDEX + 1)),  // once ran into the limit
      std::string(at_50).replace(term, 4 * 117, std::string(4 * 117, '\0')),  // a zero term early
      std::string(at_50).replace(lead, 4, le32(u32_at(at_50, lead) ^ 1)),  // the term's first word
      std::string(at_50).replace(sum, 4, le32(WORD_ONE - 2)),
      std::string(at_50).replace(20, 4, le32(1)).replace(sum, 8 * 117, std::string(8 * 117, '\0')),
      std::string(at_50).replace(20, 4, le32(1)).replace(sum, 4 * 117, at_50.substr(term, 4 * 117)),
  };
  for (const std::string& bytes : unreachable) {
    write_file(path, bytes);
    ChildResult run = run_child(program({"-r", path}));
    EXPECT_EQ(run.status, 1) << &bytes - unreachable;
    EXPECT_EQ(run.err, sjis(MSG_CORRUPT)) << &bytes - unreachable;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(read_file(path), bytes) << "a refused file is left as it was";
  }
}

// Starts a resume from a pipe, writes `bytes` into it and collects the run.
ChildResult resume_from_pipe(const std::string& fifo, const std::string& bytes,
                             const ChildOptions& options = {}) {
  EXPECT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  Child child = start_child(program({"-r", fifo}), options);
  std::FILE* pipe = std::fopen(fifo.c_str(), "wb");
  EXPECT_NE(pipe, nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), pipe);
  std::fclose(pipe);
  ChildResult run = finish_child(&child);
  std::remove(fifo.c_str());
  return run;
}

TEST_F(Run, CheckpointFromAPipeIsReadAsItComes) {
  std::string path = directory + "/state.bin";
  std::string good = checkpoint_with_index(path, 1);
  ChildResult from_file = run_child(program({"-r", path}));
  ChildResult from_pipe = resume_from_pipe(directory + "/pipe", good);
  EXPECT_EQ(from_pipe.status, 0);
  EXPECT_EQ(from_pipe.out, from_file.out);
#if !defined(__SANITIZE_ADDRESS__)
  // A header that claims the largest count, and nothing after it: a corrupt file, even where
  // memory for that count could never be had.
  ChildOptions limited;
  limited.address_space_limit = 256L << 20;
  ChildResult run =
      resume_from_pipe(directory + "/pipe",
                       std::string(good).substr(0, 24).replace(0, 4, "\xfe\xff\xff\x7f"), limited);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, sjis(MSG_CORRUPT));
#endif
}

TEST_F(Run, CorruptCheckpointsAreRefused) {
  std::string path = directory + "/state.bin";
  std::string good = checkpoint_with_index(path, 1);
  const std::string bad_files[] = {
      good.substr(0, 10),
      good.substr(0, good.size() - 4),
      std::string(good).replace(4, 1, "\x04"),
      std::string(good).replace(0, 4, std::string(4, '\0')),
      std::string(good).replace(0, 4, "\xff\xff\xff\x7f"),  // 2^31 - 1 digits in a 160-byte file
  };
  for (const std::string& bytes : bad_files) {
    write_file(path, bytes);
    ChildResult run = run_child(program({"-r", path}));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, sjis(MSG_CORRUPT));
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(read_file(path), bytes) << "a refused file is left as it was";
  }
  ChildResult run = run_child(program({"-r", directory}));  // opens, but cannot be read
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, sjis(MSG_CORRUPT));
}

}  // namespace
