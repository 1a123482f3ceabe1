#include "output/elapsed.h"

#include <cinttypes>

#include "app/messages.h"

namespace {

constexpr std::uint64_t MS_PER_SECOND = 1000;
constexpr std::uint64_t MS_PER_MINUTE = 60 * MS_PER_SECOND;
constexpr std::uint64_t MS_PER_HOUR = 60 * MS_PER_MINUTE;
constexpr std::uint64_t MS_PER_DAY = 24 * MS_PER_HOUR;

void write_unit(std::FILE* console, std::uint64_t amount, MessageKey unit) {
  std::fprintf(console, "%" PRIu64, amount);
  write_message(console, unit);
}

}  // namespace

void report_elapsed(std::FILE* console, std::uint64_t elapsed_ms) {
  if (elapsed_ms >= MS_PER_DAY) write_unit(console, elapsed_ms / MS_PER_DAY, UNIT_DAYS);
  if (elapsed_ms >= MS_PER_HOUR) write_unit(console, elapsed_ms / MS_PER_HOUR % 24, UNIT_HOURS);
  if (elapsed_ms >= MS_PER_MINUTE) write_unit(console, elapsed_ms / MS_PER_MINUTE % 60, UNIT_MINUTES);
  write_unit(console, elapsed_ms / MS_PER_SECOND % 60, UNIT_SECONDS);
  std::fprintf(console, "%03u\n", static_cast<unsigned>(elapsed_ms % MS_PER_SECOND));
}
