// Writing a file so that an earlier version survives a failed write: the new contents go to a
// temporary file beside it, which replaces the path only once everything is on disk. A path that
// cannot be replaced that way (a device, a pipe, a symbolic link, a directory that refuses new
// files) is written in place instead.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

struct ReplacementFile {
  std::FILE* stream = nullptr;  // where to write, in binary mode
  std::string path;             // the file to create or replace
  std::string temp_path;        // the temporary file; empty when writing in place
};

// Opens `path` for writing. Returns false, with nothing created, when neither a temporary file
// nor the path itself can be opened.
bool replacement_open(ReplacementFile* file, const char* path);

// Flushes, syncs and closes the stream, then moves the temporary file over the path, when
// `writes_ok` and all of these succeed. Otherwise removes the temporary file, leaving any earlier
// file at the path untouched. Returns true when the new contents are at the path.
bool replacement_commit(ReplacementFile* file, bool writes_ok);

// The size of the regular file behind `stream`, or -1 when it is not a regular file.
std::int64_t regular_file_size(std::FILE* stream);
