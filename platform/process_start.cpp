#include "platform/process_start.h"

#if defined(_WIN32)
#include <io.h>

#include <cstdint>
#include <cstdio>

namespace {

bool without_handle(std::FILE* stream) {
  const int descriptor = _fileno(stream);
  if (descriptor < 0) return true;
  const std::intptr_t handle = _get_osfhandle(descriptor);
  return handle == -1 || handle == -2;
}

}  // namespace

// The C runtime keeps descriptors 0, 1 and 2 for the standard streams whether or not they have a
// handle, so a file opened later never takes one of them; a stream without a handle refuses
// writes.
ClosedStandardStreams occupy_closed_standard_streams() {
  ClosedStandardStreams closed;
  closed.input = without_handle(stdin);
  closed.output = without_handle(stdout);
  closed.error = without_handle(stderr);
  return closed;
}

void ignore_file_size_limit_signal() {}

#else
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Opens the null device on `descriptor` when it is closed; true when it was.
bool occupy_if_closed(int descriptor, int mode) {
  if (fcntl(descriptor, F_GETFD) != -1 || errno != EBADF) return false;
  // The lowest free descriptor is this one: those below it are open by now.
  int opened = open("/dev/null", mode);
  if (opened >= 0 && opened != descriptor) {
    dup2(opened, descriptor);
    close(opened);
  }
  return true;
}

}  // namespace

ClosedStandardStreams occupy_closed_standard_streams() {
  ClosedStandardStreams closed;
  closed.input = occupy_if_closed(0, O_RDONLY);
  closed.output = occupy_if_closed(1, O_RDONLY);  // writes fail with EBADF, as before
  closed.error = occupy_if_closed(2, O_WRONLY);
  return closed;
}

void ignore_file_size_limit_signal() { std::signal(SIGXFSZ, SIG_IGN); }
#endif
