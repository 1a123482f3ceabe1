// Writing a file so that an earlier version survives a failed write: the new contents go to a
// temporary file beside it, which replaces the file only once everything is on disk. A symbolic
// link is followed, and its target replaced. Only what is not a regular file (a device, a pipe, a
// dangling link) is written in place; and an existing file is written in place only when no
// temporary file can be made beside it, after the space for the new contents has been reserved.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

struct ReplacementFile {
  std::FILE* stream = nullptr;     // where to write, in binary mode
  std::string path;                // the file to create or replace (a symbolic link's target)
  std::string temp_path;           // the temporary file; empty when writing in place
  std::int64_t size = 0;           // the size of the new contents
  bool over_old_contents = false;  // in place over an existing file, cut to `size` at the end
  int lock = -1;                   // holds the temporary file's lock until it is moved, or -1
};

// Opens `path` for new contents of `size` bytes. Temporary files of earlier saves to the same
// file that no process holds any more (one killed while saving) are removed first. Returns false,
// with nothing created and any earlier file untouched, when neither a temporary file nor the path
// itself can be written, or when an existing file would have to be written in place without room
// for the new contents.
bool replacement_open(ReplacementFile* file, const char* path, std::int64_t size);

// Flushes, syncs and closes the stream, then moves the temporary file over the path, when
// `writes_ok` and all of these succeed. Otherwise removes the temporary file, leaving any earlier
// file at the path untouched. Returns true when the new contents are at the path.
bool replacement_commit(ReplacementFile* file, bool writes_ok);

// The size of the regular file behind `stream`, or -1 when it is not a regular file.
std::int64_t regular_file_size(std::FILE* stream);

// The name stem of the temporary files for a file named `name` (no directory): a part of the name,
// a hash of all of it and a fixed marker, short enough for any file system's name limit with the
// six characters that make each temporary file unique.
std::string temp_name_stem(const std::string& name);
