// The direct route's use of its arena, against the reservation its model makes: the furthest byte
// handed out (fragmentation included) on the route's usual path and on the plain conversion it
// may fall back on, per digit. Overflows are allocations the reservation could not serve.
//
//   build/bench/route_memory [digits ...]      (default 100000 1000000 10000000)
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bignum/direct_root.h"
#include "bignum/direct_root_parts.h"
#include "bignum/memory_arena.h"

int main(int argc, char** argv) {
  std::vector<std::uint32_t> counts;
  for (int i = 1; i < argc; ++i) counts.push_back(static_cast<std::uint32_t>(std::strtoul(argv[i], nullptr, 10)));
  if (counts.empty()) counts = {100000, 1000000, 10000000};
  std::printf("%12s %-7s %14s %14s %9s %9s\n", "digits", "path", "reserved B", "used B", "used/dig", "overflows");
  for (std::uint32_t requested : counts) {
    for (int plain = 0; plain <= 1; ++plain) {
      DirectRoot root;
      if (!start_direct_root(requested + 1, &root)) {
        std::printf("%12u declined\n", requested);
        continue;
      }
      const std::size_t reserved = arena_reserved_bytes();
      if (plain == 0) {
        if (!compute_direct_root(&root, ProgressSink{}, 100)) std::printf("%12u no digits\n", requested);
      } else {
        plain_root_digits(static_cast<std::uint64_t>(requested) + 64, root.digit_chars);
      }
      release_direct_root(&root);
      const ArenaUse use = arena_use();
      std::printf("%12u %-7s %14zu %14zu %9.2f %9zu\n", requested, plain != 0 ? "plain" : "halves",
                  reserved, use.high_water, static_cast<double>(use.high_water) / requested,
                  use.overflows);
    }
  }
  return 0;
}
