// The GMP-backed routes' use of their arenas, against the reservations their models make: the
// furthest byte handed out (fragmentation included), per digit. For the direct route, on its usual
// path and on the plain conversion it may fall back on; for the series by blocks, a run to the
// end and one broken off half way, whose state is converted back into words. Overflows are
// allocations the reservation could not serve.
//
//   build/bench/route_memory [digits ...]      (default 100000 1000000 10000000)
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "block_engine/block_engine.h"
#include "direct_route/direct_root.h"
#include "direct_route/direct_root_parts.h"
#include "products/memory_arena.h"
#include "platform/available_memory.h"

namespace {

// A stop once the run has passed an index.
struct HalfWay {
  const BlockSignals* signals;
  std::uint32_t index;
};
bool past_half_way(void* context) {
  const HalfWay* half = static_cast<const HalfWay*>(context);
  return half->signals->reached.load() >= half->index;
}

void measure_block_engine(std::uint32_t requested, bool broken_off) {
  CalcState state;
  if (!calc_start_fresh(&state, requested + 1, 0, 1)) std::exit(1);
  BlockEngine engine;
  if (!start_block_engine(state, MEMORY_UNKNOWN, &engine)) {
    std::printf("%12u declined\n", requested);
    calc_release(&state);
    return;
  }
  const std::size_t reserved = arena_reserved_bytes();
  BlockSignals signals;
  // About half the steps of the run: 10^9 digits take some 1.28 * 10^8.
  HalfWay half{&signals, broken_off ? static_cast<std::uint32_t>(requested * 0.064) : UINT32_MAX};
  signals.stop = StopCheck{past_half_way, &half};
  run_block_engine(&engine, &state, &signals);
  calc_release(&state);
  const ArenaUse use = arena_use();
  std::printf("%12u %-7s %14zu %14zu %9.2f %9zu\n", requested, broken_off ? "halfway" : "blocks",
              reserved, use.high_water, static_cast<double>(use.high_water) / requested,
              use.overflows);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::uint32_t> counts;
  for (int i = 1; i < argc; ++i)
    counts.push_back(static_cast<std::uint32_t>(std::strtoul(argv[i], nullptr, 10)));
  if (counts.empty()) counts = {100000, 1000000, 10000000};
  std::printf("%12s %-7s %14s %14s %9s %9s\n", "digits", "path", "reserved B", "used B", "used/dig",
              "overflows");
  for (std::uint32_t requested : counts) {
    for (int plain = 0; plain <= 1; ++plain) {
      DirectRoot root;
      if (!start_direct_root(requested + 1, MEMORY_UNKNOWN, &root)) {
        std::printf("%12u declined\n", requested);
        continue;
      }
      const std::size_t reserved = arena_reserved_bytes();
      if (plain == 0) {
        if (!compute_direct_root(&root, ProgressSink{}, 100))
          std::printf("%12u no digits\n", requested);
      } else {
        plain_root_digits(static_cast<std::uint64_t>(requested) + 64, root.digit_chars);
      }
      release_direct_root(&root);
      const ArenaUse use = arena_use();
      std::printf("%12u %-7s %14zu %14zu %9.2f %9zu\n", requested, plain != 0 ? "plain" : "halves",
                  reserved, use.high_water, static_cast<double>(use.high_water) / requested,
                  use.overflows);
    }
    if (requested + 1 >= BLOCK_ENGINE_MIN_POSITIONS) {
      measure_block_engine(requested, false);
      measure_block_engine(requested, true);
    }
  }
  return 0;
}
