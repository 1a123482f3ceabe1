#include "output/elapsed.h"

#include <cinttypes>

namespace {

constexpr std::uint64_t MS_PER_SECOND = 1000;
constexpr std::uint64_t MS_PER_MINUTE = 60 * MS_PER_SECOND;
constexpr std::uint64_t MS_PER_HOUR = 60 * MS_PER_MINUTE;
constexpr std::uint64_t MS_PER_DAY = 24 * MS_PER_HOUR;

void write_unit(std::FILE* console, std::uint64_t amount, std::string_view unit) {
  std::fprintf(console, "%" PRIu64, amount);
  std::fwrite(unit.data(), 1, unit.size(), console);
}

}  // namespace

void report_elapsed(std::FILE* console, std::uint64_t elapsed_ms, const TimeUnits& units) {
  if (elapsed_ms >= MS_PER_DAY) write_unit(console, elapsed_ms / MS_PER_DAY, units.days);
  if (elapsed_ms >= MS_PER_HOUR) write_unit(console, elapsed_ms / MS_PER_HOUR % 24, units.hours);
  if (elapsed_ms >= MS_PER_MINUTE)
    write_unit(console, elapsed_ms / MS_PER_MINUTE % 60, units.minutes);
  write_unit(console, elapsed_ms / MS_PER_SECOND % 60, units.seconds);
  std::fprintf(console, "%03u\n", static_cast<unsigned>(elapsed_ms % MS_PER_SECOND));
}
