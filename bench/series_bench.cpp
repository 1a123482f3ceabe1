// Speed of the series: the literal loop and the engine, measured in the same run.
//
//   build/bench/series_bench [digits ...]      (default 100000 300000)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "compute/series.h"

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
  SeriesOutcome (*series)(CalcState*, const SeriesControl&);
  int terms_per_sweep;
  bool portable_engine_only;
};

Timing time_series(std::uint32_t requested, const Path& path) {
  CalcState state;
  if (!calc_start_fresh(&state, requested + 1, 0, 1)) std::exit(1);
  SeriesControl control;
  control.read_clock = no_clock;
  control.stop_requested = never_stop;
  control.terms_per_sweep = path.terms_per_sweep;
  control.portable_engine_only = path.portable_engine_only;
  auto start = std::chrono::steady_clock::now();
  path.series(&state, control);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  Timing timing{seconds, state.next_n, std::vector<Word>(state.sum, state.sum + state.word_count)};
  calc_release(&state);
  return timing;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::uint32_t> counts;
  for (int i = 1; i < argc; ++i) counts.push_back(static_cast<std::uint32_t>(std::strtoul(argv[i], nullptr, 10)));
  if (counts.empty()) counts = {100000, 300000};
  std::printf("%10s %-26s %10s %9s %s\n", "digits", "path", "seconds", "speed-up", "state");
  for (std::uint32_t requested : counts) {
    const Path literal_path{"literal", run_series_literal, 0, true};
    Timing literal = time_series(requested, literal_path);
    std::printf("%10u %-26s %10.3f %8.1fx\n", requested, literal_path.name, literal.seconds, 1.0);
    const Path paths[] = {
        {"portable, 1 term/sweep", run_series, 1, true},
        {"portable", run_series, 0, true},
        {"fastest, 8 terms/sweep", run_series, 8, false},
        {"fastest", run_series, 0, false},
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
