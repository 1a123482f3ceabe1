#include "platform/clock.h"

#if defined(_WIN32)
#include <windows.h>
#include <mmsystem.h>

std::uint32_t clock_ms() { return timeGetTime(); }

#else
#include <ctime>

std::uint32_t clock_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  std::uint64_t ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                     static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);
}
#endif
