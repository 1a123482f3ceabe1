// Address space taken from the system up front, in one piece, for an allocator of its own: what is
// reserved can no longer be lost to a limit on the address space or to another part of the
// process. Its pages take memory only once they are touched.
#pragma once

#include <cstddef>

// Reserves `bytes` of readable and writable address space. Returns null when it cannot be had.
void* reserve_region(std::size_t bytes);

// Gives the region back whole.
void release_region(void* region, std::size_t bytes);

// Lets the system take back the memory behind the whole pages within [start, start + bytes); they
// read as zero when next touched, and stay reserved.
void discard_pages(void* start, std::size_t bytes);
