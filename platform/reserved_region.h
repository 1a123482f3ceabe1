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

// Asks the system to back the whole large pages within [start, start + bytes) by large pages
// (`wanted`) or by small ones from then on: a large buffer then costs one page fault for every
// large page it touches, not one for every small page, which in a virtual machine can take as long
// as the product that fills it. Advice only: where large pages cannot be had nothing changes.
void advise_large_pages(void* start, std::size_t bytes, bool wanted);

// Small pages only over the whole region, whatever the system does by default, so that only what
// advise_large_pages names takes large pages and a page that holds a few small chunks takes no
// more memory than they do.
void advise_small_pages(void* region, std::size_t bytes);
