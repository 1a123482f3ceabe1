// The console texts of the program. Every text exists in Shift_JIS, the program's own encoding,
// and in UTF-8 for terminals that expect it; the wording is the same in both.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string_view>

enum MessageKey {
  MSG_USAGE,         // the eight lines of the usage block
  MSG_CORRUPT,       // the checkpoint file is broken
  MSG_NO_MEMORY,     // memory allocation failed
  MSG_CALCULATING,   // calculating
  MSG_LIMIT,         // the three apology lines of the iteration limit
  MSG_OPEN_FAILED,   // opening the file failed
  MSG_WRITE_FAILED,  // writing to the file failed
  MSG_STATE_LOST,    // the state is lost
  MSG_SAVED,         // the current state has been written
  MSG_FINISHED,      // calculation finished
  MSG_MAX_N,         // "largest n computed : " (the number and a line feed follow)
  MSG_ELAPSED,       // "time taken : " (the elapsed-time report follows)
  MSG_WRITING,       // writing the result
  UNIT_DAYS,         // the units of the elapsed-time report
  UNIT_HOURS,
  UNIT_MINUTES,
  UNIT_SECONDS,
  MESSAGE_KEY_COUNT
};

enum class ConsoleEncoding { SHIFT_JIS, UTF8 };

// Selects the encoding of every text returned from now on. Shift_JIS until changed.
void console_set_encoding(ConsoleEncoding encoding);

// Shift_JIS, unless `stream` is a terminal whose locale's codeset is UTF-8.
ConsoleEncoding console_encoding_for(std::FILE* stream);

// The exact bytes of `key` in the given (or the selected) encoding.
std::string_view message_text(MessageKey key, ConsoleEncoding encoding);
std::string_view message_text(MessageKey key);

// Writes the text of `key` whole to `stream`.
void write_message(std::FILE* stream, MessageKey key);

// Writes MSG_MAX_N with `n` and a line feed.
void write_max_n(std::FILE* stream, std::uint32_t n);
