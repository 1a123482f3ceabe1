#include "platform/replace_file.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

namespace {

struct PathStatus {};  // nothing about the file at the path is carried over

bool replaceable(const char* path, PathStatus*) {
  DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return GetLastError() == ERROR_FILE_NOT_FOUND;
  return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
                        FILE_ATTRIBUTE_DEVICE)) == 0;
}

int create_temp(const std::string& path, const PathStatus&, std::string* temp_path) {
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    *temp_path = path + ".tmp" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(attempt);
    int fd = _open(temp_path->c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY,
                   _S_IREAD | _S_IWRITE);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

void close_descriptor(int fd) { _close(fd); }

bool sync_stream(std::FILE* stream) { return _commit(_fileno(stream)) == 0; }

bool move_over(const std::string& from, const std::string& to) {
  return MoveFileExA(from.c_str(), to.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

void sync_directory_of(const std::string&) {}

}  // namespace

std::int64_t regular_file_size(std::FILE* stream) {
  struct _stati64 info {};
  if (_fstati64(_fileno(stream), &info) != 0 || (info.st_mode & _S_IFREG) == 0) return -1;
  return info.st_size;
}

#else
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace {

// What is at the path before the save.
struct PathStatus {
  bool exists = false;
  struct stat info {};
};

bool replaceable(const char* path, PathStatus* status) {
  status->exists = lstat(path, &status->info) == 0;
  return status->exists ? S_ISREG(status->info.st_mode) : errno == ENOENT;
}

int create_temp(const std::string& path, const PathStatus& status, std::string* temp_path) {
  std::vector<char> name(path.begin(), path.end());
  const char suffix[] = ".XXXXXX";
  name.insert(name.end(), suffix, suffix + sizeof suffix);
  int fd = mkstemp(name.data());
  if (fd < 0) return -1;
  *temp_path = name.data();
  // The same permissions the file would have had if created in place, or kept.
  mode_t mode;
  if (status.exists) {
    mode = status.info.st_mode & 07777;
  } else {
    mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  fchmod(fd, mode);
  return fd;
}

void close_descriptor(int fd) { close(fd); }

bool sync_stream(std::FILE* stream) { return fsync(fileno(stream)) == 0; }

bool move_over(const std::string& from, const std::string& to) {
  return rename(from.c_str(), to.c_str()) == 0;
}

void sync_directory_of(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

}  // namespace

std::int64_t regular_file_size(std::FILE* stream) {
  struct stat info {};
  if (fstat(fileno(stream), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
  return info.st_size;
}
#endif

bool replacement_open(ReplacementFile* file, const char* path) {
  file->path = path;
  file->temp_path.clear();
  PathStatus status;
  if (replaceable(path, &status)) {
    int fd = create_temp(file->path, status, &file->temp_path);
    if (fd >= 0) {
#if defined(_WIN32)
      file->stream = _fdopen(fd, "wb");
#else
      file->stream = fdopen(fd, "wb");
#endif
      if (file->stream != nullptr) return true;
      close_descriptor(fd);
      std::remove(file->temp_path.c_str());
    }
    file->temp_path.clear();
  }
  file->stream = std::fopen(path, "wb");
  return file->stream != nullptr;
}

bool replacement_commit(ReplacementFile* file, bool writes_ok) {
  bool ok = writes_ok;
  if (std::fflush(file->stream) != 0 || std::ferror(file->stream)) ok = false;
  bool temporary = !file->temp_path.empty();
  if (temporary && ok && !sync_stream(file->stream)) ok = false;
  if (std::fclose(file->stream) != 0) ok = false;
  file->stream = nullptr;
  if (!temporary) return ok;
  if (ok && !move_over(file->temp_path, file->path)) ok = false;
  if (!ok) {
    std::remove(file->temp_path.c_str());
    return false;
  }
  sync_directory_of(file->path);
  return true;
}
