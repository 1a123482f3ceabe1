#include "platform/reserved_region.h"

#include <cstdint>

#if defined(_WIN32)
#include <windows.h>

void* reserve_region(std::size_t bytes) {
  return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void release_region(void* region, std::size_t) { VirtualFree(region, 0, MEM_RELEASE); }

namespace {
constexpr std::uintptr_t PAGE = 4096;
}

void discard_pages(void* start, std::size_t bytes) {
  const std::uintptr_t first = (reinterpret_cast<std::uintptr_t>(start) + PAGE - 1) & ~(PAGE - 1);
  const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(start) + bytes) & ~(PAGE - 1);
  if (end > first)
    VirtualAlloc(reinterpret_cast<void*>(first), end - first, MEM_RESET, PAGE_READWRITE);
}

#else
#include <sys/mman.h>
#include <unistd.h>

void* reserve_region(std::size_t bytes) {
  void* region = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return region == MAP_FAILED ? nullptr : region;
}

void release_region(void* region, std::size_t bytes) { munmap(region, bytes); }

void discard_pages(void* start, std::size_t bytes) {
  const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const std::uintptr_t first = (reinterpret_cast<std::uintptr_t>(start) + page - 1) & ~(page - 1);
  const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(start) + bytes) & ~(page - 1);
  if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_DONTNEED);
}
#endif
