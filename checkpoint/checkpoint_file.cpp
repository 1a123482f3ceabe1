#include "checkpoint/checkpoint_file.h"

#include <bit>
#include <cstdlib>

#include "output/output_format.h"
#include "platform/replace_file.h"

namespace {

constexpr std::size_t WORDS_PER_BLOCK = 4096;  // for byte-order conversion on big-endian hosts
constexpr std::size_t GROWTH_START_WORDS = 1 << 16;  // for input of unknown size

void store_u32(unsigned char* bytes, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}

std::uint32_t load_u32(const unsigned char* bytes) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | bytes[i];
  return value;
}

void store_u64(unsigned char* bytes, std::uint64_t value) {
  store_u32(bytes, static_cast<std::uint32_t>(value));
  store_u32(bytes + 4, static_cast<std::uint32_t>(value >> 32));
}

std::uint64_t load_u64(const unsigned char* bytes) {
  return static_cast<std::uint64_t>(load_u32(bytes + 4)) << 32 | load_u32(bytes);
}

bool write_words(std::FILE* stream, const Word* words, std::int32_t count) {
  std::size_t total = static_cast<std::size_t>(count);
  if constexpr (std::endian::native == std::endian::little) {
    return std::fwrite(words, sizeof(Word), total, stream) == total;
  } else {
    unsigned char block[WORDS_PER_BLOCK * 4];
    for (std::size_t done = 0; done < total;) {
      std::size_t n = total - done < WORDS_PER_BLOCK ? total - done : WORDS_PER_BLOCK;
      for (std::size_t i = 0; i < n; ++i) store_u32(block + 4 * i, words[done + i]);
      if (std::fwrite(block, 4, n, stream) != n) return false;
      done += n;
    }
    return true;
  }
}

// Words as stored (little-endian) to the host's order, in place.
void words_from_storage(Word* words, std::size_t count) {
  if constexpr (std::endian::native != std::endian::little) {
    for (std::size_t i = 0; i < count; ++i) {
      unsigned char bytes[4];
      for (int b = 0; b < 4; ++b) bytes[b] = static_cast<unsigned char>(words[i] >> (24 - 8 * b));
      words[i] = load_u32(bytes);
    }
  } else {
    (void)words;
    (void)count;
  }
}

bool read_words(std::FILE* stream, Word* words, std::int32_t count) {
  std::size_t total = static_cast<std::size_t>(count);
  if (std::fread(words, sizeof(Word), total, stream) != total) return false;
  words_from_storage(words, total);
  return true;
}

// Reads `count` words into a buffer that grows as they arrive, for input whose size cannot be
// known before (a pipe): a stream that ends early is refused without memory reserved for what it
// only claimed. On LOADED, *words is the caller's to free.
LoadStatus read_words_growing(std::FILE* stream, Word** words, std::int32_t count) {
  const std::size_t total = static_cast<std::size_t>(count);
  Word* buffer = nullptr;
  std::size_t capacity = 0, have = 0;
  while (have < total) {
    std::size_t grown = capacity == 0 ? GROWTH_START_WORDS : 2 * capacity;
    if (grown > total) grown = total;
    Word* bigger = static_cast<Word*>(std::realloc(buffer, grown * sizeof(Word)));
    if (bigger == nullptr) {
      std::free(buffer);
      return LoadStatus::NO_MEMORY;
    }
    buffer = bigger;
    capacity = grown;
    const std::size_t wanted = capacity - have;
    const std::size_t got = std::fread(buffer + have, sizeof(Word), wanted, stream);
    have += got;
    if (got < wanted) {
      std::free(buffer);
      return LoadStatus::CORRUPT;
    }
  }
  words_from_storage(buffer, total);
  *words = buffer;
  return LoadStatus::LOADED;
}

// The arrays of a state the series can have reached: normalised words, a term below 10^-8 (word 0
// zero) and no larger than the sum, a sum no larger than 1.0. Anything else would give wrong
// digits, or let the routines run outside their preconditions.
bool arrays_consistent(const CalcState* state) {
  const std::int32_t count = state->word_count;
  if (!words_normalised(state->sum, count) || !words_normalised(state->term, count)) return false;
  if (state->term[0] != 0) return false;
  if (compare_words(state->term, state->sum, count) > 0) return false;
  if (state->sum[0] > WORD_ONE) return false;
  return state->sum[0] < WORD_ONE || first_nonzero_word(state->sum + 1, count - 1) == count - 1;
}

LoadStatus refuse(std::FILE* file, CalcState* state, LoadStatus why) {
  calc_release(state);
  std::fclose(file);
  return why;
}

}  // namespace

std::int64_t checkpoint_size(std::int32_t word_count) {
  return CHECKPOINT_HEADER_BYTES + 8 * static_cast<std::int64_t>(word_count);
}

SaveStatus checkpoint_save(const CalcState* state, const char* path) {
  ReplacementFile file;
  if (!replacement_open(&file, path, checkpoint_size(state->word_count))) {
    return SaveStatus::OPEN_FAILED;
  }
  unsigned char header[CHECKPOINT_HEADER_BYTES];
  store_u32(header + 0, state->positions);
  store_u32(header + 4, state->format);
  store_u32(header + 8, state->print_lead);
  store_u64(header + 12, state->elapsed_ms);
  store_u32(header + 20, state->next_n);
  bool ok = std::fwrite(header, 1, sizeof header, file.stream) == sizeof header;
  ok = write_words(file.stream, state->sum, state->word_count) && ok;
  ok = write_words(file.stream, state->term, state->word_count) && ok;
  return replacement_commit(&file, ok) ? SaveStatus::SAVED : SaveStatus::WRITE_FAILED;
}

LoadStatus checkpoint_load(std::FILE* file, CalcState* state, std::uint64_t memory_room) {
  unsigned char header[CHECKPOINT_HEADER_BYTES];
  if (std::fread(header, 1, sizeof header, file) != sizeof header) {
    return refuse(file, state, LoadStatus::CORRUPT);
  }
  state->positions = load_u32(header + 0);
  state->format = load_u32(header + 4);
  state->print_lead = load_u32(header + 8);
  state->elapsed_ms = load_u64(header + 12);
  state->next_n = load_u32(header + 20);
  // next_n = 0 would make the multiplier 2n - 1 wrap.
  if (state->format > FORMAT_LAST || state->positions == 0 ||
      state->positions >= POSITION_COUNT_BOUND || state->next_n == 0) {
    return refuse(file, state, LoadStatus::CORRUPT);
  }
  // A file too short for its arrays is refused before anything is allocated for them; input of
  // unknown size is taken as it comes.
  const std::int32_t count = words_for_positions(state->positions);
  const std::int64_t size = regular_file_size(file);
  if (size >= 0) {
    if (size < checkpoint_size(count)) return refuse(file, state, LoadStatus::CORRUPT);
    if (calc_numbers_bytes(count) > memory_room) return refuse(file, state, LoadStatus::NO_MEMORY);
    if (!calc_allocate(state, false)) return refuse(file, state, LoadStatus::NO_MEMORY);
    if (!read_words(file, state->sum, count) || !read_words(file, state->term, count)) {
      return refuse(file, state, LoadStatus::CORRUPT);
    }
  } else {
    if (calc_numbers_bytes(count) > memory_room) return refuse(file, state, LoadStatus::NO_MEMORY);
    state->word_count = count;
    LoadStatus read = read_words_growing(file, &state->sum, count);
    if (read == LoadStatus::LOADED) read = read_words_growing(file, &state->term, count);
    if (read != LoadStatus::LOADED) return refuse(file, state, read);
  }
  if (!arrays_consistent(state)) return refuse(file, state, LoadStatus::CORRUPT);
  std::fclose(file);
  state->first_nonzero = first_nonzero_word(state->term, state->word_count);
  return LoadStatus::LOADED;
}
