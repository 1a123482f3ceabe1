#include "output/progress.h"

#include <cassert>

namespace {

constexpr std::uint32_t FULL_BAR_MARKS = 50;

struct ProgressBar {
  std::FILE* console = nullptr;
  std::uint32_t total = 1;
  std::uint32_t marks = 0;
  std::uint64_t next_mark_value = 0;  // the smallest value that draws another mark
};

ProgressBar bar;

// The smallest value v with floor(v * 50 / total) > marks.
std::uint64_t value_for_next_mark(std::uint32_t marks, std::uint32_t total) {
  return (static_cast<std::uint64_t>(marks + 1) * total + FULL_BAR_MARKS - 1) / FULL_BAR_MARKS;
}

}  // namespace

void progress_start(std::FILE* console, std::uint32_t total) {
  assert(total != 0);
  bar.console = console;
  bar.total = total;
  bar.marks = 0;
  bar.next_mark_value = value_for_next_mark(0, total);
  std::fwrite(PROGRESS_SCALE, 1, sizeof PROGRESS_SCALE - 1, console);
}

void progress_update(std::uint32_t value) {
  // Most calls draw nothing; they cost one comparison.
  if (value < bar.next_mark_value || bar.console == nullptr) return;
  std::uint64_t target = static_cast<std::uint64_t>(value) * FULL_BAR_MARKS / bar.total;
  if (target > FULL_BAR_MARKS) target = FULL_BAR_MARKS;
  while (bar.marks < target) {
    std::fputc('#', bar.console);
    ++bar.marks;
  }
  bar.next_mark_value =
      bar.marks < FULL_BAR_MARKS ? value_for_next_mark(bar.marks, bar.total) : UINT64_MAX;
}
