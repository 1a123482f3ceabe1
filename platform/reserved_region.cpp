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

void advise_large_pages(void*, std::size_t, bool) {}
void advise_small_pages(void*, std::size_t) {}

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

namespace {
constexpr std::uintptr_t LARGE_PAGE = std::uintptr_t{2} << 20;
}

void advise_large_pages(void* start, std::size_t bytes, bool wanted) {
#if defined(MADV_HUGEPAGE)
  const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(start);
  const std::uintptr_t first = (at + LARGE_PAGE - 1) & ~(LARGE_PAGE - 1);
  const std::uintptr_t end = (at + bytes) & ~(LARGE_PAGE - 1);
  if (end > first) {
    madvise(reinterpret_cast<void*>(first), end - first, wanted ? MADV_HUGEPAGE : MADV_NOHUGEPAGE);
  }
#else
  (void)start;
  (void)bytes;
  (void)wanted;
#endif
}

void advise_small_pages(void* region, std::size_t bytes) {
#if defined(MADV_NOHUGEPAGE)
  madvise(region, bytes, MADV_NOHUGEPAGE);
#else
  (void)region;
  (void)bytes;
#endif
}
#endif
