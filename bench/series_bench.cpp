// Speed of the series: the literal loop and the engine, measured in the same run.
//
//   build/bench/series_bench [digits ...]      (default 100000 300000)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <vector>

#include "series/series.h"
#include "series/series_tuning.h"

namespace {

std::uint32_t no_clock() { return 0; }
bool never_stop() { return false; }

struct Timing {
  double seconds;
  std::uint32_t next_n;
  std::vector<Word> sum;
};

struct Path {
  const char* name;
  bool literal;  // the literal loop, else the engine with `tuning`
  SeriesTuning tuning;
};

Timing time_series(std::uint32_t requested, const Path& path) {
  CalcState state;
  if (!calc_start_fresh(&state, requested + 1, 0, 1)) std::exit(1);
  SeriesControl control;
  control.read_clock = no_clock;
  control.stop_requested = never_stop;
  std::vector<Word> sum(state.sum, state.sum + state.word_count);
  std::vector<Word> term(state.term, state.term + state.word_count);
  double best = 1e30;
  // The best of five runs, each from the same fresh state: the machine is shared, and a run on
  // two threads suffers most from a neighbour.
  for (int round = 0; round < 5; ++round) {
    std::copy(sum.begin(), sum.end(), state.sum);
    std::copy(term.begin(), term.end(), state.term);
    state.next_n = 1;
    state.first_nonzero = 1;
    auto start = std::chrono::steady_clock::now();
    if (path.literal) {
      run_series_literal(&state, control);
    } else {
      run_series_tuned(&state, control, path.tuning);
    }
    best = std::min(
        best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    if (path.literal) break;  // too slow to repeat
  }
  Timing timing{best, state.next_n, std::vector<Word>(state.sum, state.sum + state.word_count)};
  calc_release(&state);
  return timing;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::uint32_t> counts;
  for (int i = 1; i < argc; ++i)
    counts.push_back(static_cast<std::uint32_t>(std::strtoul(argv[i], nullptr, 10)));
  if (counts.empty()) counts = {100000, 300000};
  std::printf("%10s %-26s %10s %9s %s\n", "digits", "path", "seconds", "speed-up", "state");
  for (std::uint32_t requested : counts) {
    const Path literal_path{"literal", true, {}};
    Timing literal = time_series(requested, literal_path);
    std::printf("%10u %-26s %10.3f %8.1fx\n", requested, literal_path.name, literal.seconds, 1.0);
    const Path paths[] = {
        {"portable", false, {.portable_engine_only = true, .threads = 1}},
        {"portable, 2 threads", false, {.portable_engine_only = true, .threads = 2}},
        {"AVX-512 IFMA", false, {.threads = 1}},
        {"AVX-512 IFMA, 2 threads", false, {.threads = 2}},
    };
    for (const Path& path : paths) {
      Timing engine = time_series(requested, path);
      bool same = engine.next_n == literal.next_n && engine.sum == literal.sum;
      std::printf("%10u %-26s %10.3f %8.1fx %s\n", requested, path.name, engine.seconds,
                  literal.seconds / engine.seconds, same ? "identical" : "DIFFERENT");
    }
  }
  return 0;
}
