// What the process arranges before it does anything else.
#pragma once

// Standard descriptors closed by whoever started the program (`2>&-`, say). A file opened later
// would take the lowest free descriptor and receive what was meant for the closed stream.
struct ClosedStandardStreams {
  bool input = false;
  bool output = false;
  bool error = false;
};

// Gives every closed descriptor among 0, 1 and 2 the null device: standard input reads nothing,
// standard error swallows what is written, and standard output refuses writes as a closed
// descriptor does. Returns which were closed. Call before anything else opens a file.
ClosedStandardStreams occupy_closed_standard_streams();

// A write past the file size limit then fails, and is reported, instead of ending the process.
void ignore_file_size_limit_signal();
