// The checkpoint file: the raw little-endian image of a computation's state, with no header.
//
//   offset 0   u32 digits      internal digit count D
//   offset 4   u32 format      OutputFormat, 0 .. 3
//   offset 8   u32 print_lead  non-zero writes the leading "1."
//   offset 12  u64 elapsed_ms  computing time so far
//   offset 20  u32 next_n      index of the term stored below
//   offset 24  W x u32 sum, then W x u32 term, word 0 first; W = words_for_positions(D)
#pragma once

#include <cstdint>
#include <cstdio>

#include "numbers/calc_state.h"

inline constexpr std::int64_t CHECKPOINT_HEADER_BYTES = 24;

// The size of a checkpoint of `word_count` words per number.
std::int64_t checkpoint_size(std::int32_t word_count);

enum class SaveStatus { SAVED, OPEN_FAILED, WRITE_FAILED };

// Saves `state` to `path`: OPEN_FAILED when no file could be created for it, WRITE_FAILED when a
// write, the flush or the replacement failed. An earlier file at `path` survives a failed save.
SaveStatus checkpoint_save(const CalcState* state, const char* path);

enum class LoadStatus { LOADED, CORRUPT, NO_MEMORY };

// Reads a checkpoint from `file` (opened for binary reading) into `state`, which must hold no
// numbers, allocating its numbers. Closes `file` in every case. Returns CORRUPT for a short,
// inconsistent or impossible file and NO_MEMORY when the numbers take more than `memory_room`
// bytes or cannot be allocated; the state then holds no numbers.
LoadStatus checkpoint_load(std::FILE* file, CalcState* state, std::uint64_t memory_room);
