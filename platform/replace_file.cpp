#include "platform/replace_file.h"

#include <cstdio>

namespace {

// What the path names, once a symbolic link is followed.
enum class TargetKind { MISSING, REGULAR, OTHER };

struct Target {
  TargetKind kind = TargetKind::OTHER;
  std::string path;          // the file to replace
  unsigned permissions = 0;  // of an existing regular file
  std::int64_t size = 0;     // of an existing regular file
};

constexpr std::size_t KEPT_NAME_CHARS = 200;
constexpr char TEMP_MARKER[] = ".tindermoss-save.";

// The folder part of a path, with its separator: "./" for a bare name, so that it always comes
// before a name in the same folder.
std::string directory_of(const std::string& path) {
  std::string::size_type slash = path.find_last_of("/\\");
  return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

std::string name_of(const std::string& path) {
  std::string::size_type slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string temp_name_stem(const std::string& name) {
  std::uint32_t hash = 2166136261u;  // FNV-1a
  for (unsigned char c : name) hash = (hash ^ c) * 16777619u;
  char hex[9];
  std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(hash));
  return name.substr(0, KEPT_NAME_CHARS) + "." + hex + TEMP_MARKER;
}

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

namespace {

Target find_target(const char* path) {
  Target target;
  target.path = path;
  DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND) target.kind = TargetKind::MISSING;
    return target;
  }
  // A reparse point (a link) is written through in place.
  if ((attributes &
       (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) == 0) {
    target.kind = TargetKind::REGULAR;
  }
  return target;
}

// Stale temporary files are left alone here: Windows has no advisory lock to tell them apart
// from another process's save in progress.
void remove_stale_temps(const Target&) {}

int create_temp(const Target& target, std::string* temp_path, int* lock) {
  *lock = -1;
  const std::string stem = directory_of(target.path) + temp_name_stem(name_of(target.path));
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    char unique[8];
    std::snprintf(unique, sizeof unique, "%06u",
                  static_cast<unsigned>((GetCurrentProcessId() * 100 + attempt) % 1000000));
    *temp_path = stem + unique;
    int fd =
        _open(temp_path->c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// An existing file opened for writing without cutting it, grown first to the new size.
int open_with_room(const Target& target, std::int64_t size) {
  int fd = _open(target.path.c_str(), _O_WRONLY | _O_BINARY);
  if (fd < 0) return -1;
  if (size > target.size && _chsize_s(fd, size) != 0) {
    _close(fd);
    return -1;
  }
  return fd;
}

std::FILE* stream_on(int fd) { return _fdopen(fd, "wb"); }

void close_descriptor(int fd) { _close(fd); }

bool cut_to(std::FILE* stream, std::int64_t size) { return _chsize_s(_fileno(stream), size) == 0; }

bool sync_stream(std::FILE* stream) { return _commit(_fileno(stream)) == 0; }

// Windows cannot move a file that is still open.
constexpr bool MOVE_BEFORE_CLOSE = false;

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
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

Target find_target(const char* path) {
  Target target;
  target.path = path;
  struct stat info {};
  if (lstat(path, &info) != 0) {
    if (errno == ENOENT) target.kind = TargetKind::MISSING;
    return target;
  }
  if (S_ISLNK(info.st_mode)) {
    // The link stays; its target is replaced. A dangling link is written through in place.
    char resolved[PATH_MAX];
    if (realpath(path, resolved) == nullptr || stat(resolved, &info) != 0) return target;
    target.path = resolved;
  }
  if (S_ISREG(info.st_mode)) {
    target.kind = TargetKind::REGULAR;
    target.permissions = info.st_mode & 07777;
    target.size = info.st_size;
  }
  return target;
}

// Whether `name` is a temporary file of the stem: the stem and six characters. Earlier versions
// made those of a bare name with a "." in front; they are this target's too.
bool is_temp_of(const char* name, const std::string& stem) {
  if (name[0] == '.' && std::strncmp(name + 1, stem.c_str(), stem.size()) == 0) ++name;
  return std::strlen(name) == stem.size() + 6 && std::strncmp(name, stem.c_str(), stem.size()) == 0;
}

// Temporary files of this target that no process holds locked were left by a save that never
// finished; they go, and nothing else does.
void remove_stale_temps(const Target& target) {
  const std::string directory = directory_of(target.path);
  const std::string stem = temp_name_stem(name_of(target.path));
  DIR* listing = opendir(directory.c_str());
  if (listing == nullptr) return;
  const int directory_fd = dirfd(listing);
  while (const dirent* entry = readdir(listing)) {
    if (!is_temp_of(entry->d_name, stem)) continue;
    int fd = openat(directory_fd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) continue;
    struct stat info {};
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0) {
      unlinkat(directory_fd, entry->d_name, 0);
    }
    close(fd);
  }
  closedir(listing);
}

// A new temporary file beside the target, locked for as long as `lock` stays open, with the
// permissions the target has (or would have if created).
int create_temp(const Target& target, std::string* temp_path, int* lock) {
  *lock = -1;
  const std::string stem = directory_of(target.path) + temp_name_stem(name_of(target.path));
  for (int attempt = 0; attempt < 10; ++attempt) {
    std::vector<char> name(stem.begin(), stem.end());
    const char unique[] = "XXXXXX";
    name.insert(name.end(), unique, unique + sizeof unique);
    int fd = mkstemp(name.data());
    if (fd < 0) return -1;
    // Another save may have taken it for stale before the lock; then it is gone, and another
    // is made.
    struct stat info {};
    if (flock(fd, LOCK_EX) != 0 || fstat(fd, &info) != 0 || info.st_nlink == 0) {
      close(fd);
      continue;
    }
    *temp_path = name.data();
    mode_t mode;
    if (target.kind == TargetKind::REGULAR) {
      mode = static_cast<mode_t>(target.permissions);
    } else {
      mode_t mask = umask(0);
      umask(mask);
      mode = 0666 & ~mask;
    }
    fchmod(fd, mode);
    *lock = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    return fd;
  }
  return -1;
}

// An existing file opened for writing without cutting it, with the space for the new size
// reserved first.
int open_with_room(const Target& target, std::int64_t size) {
  int fd = open(target.path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  if (size > 0 && posix_fallocate(fd, 0, static_cast<off_t>(size)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::FILE* stream_on(int fd) { return fdopen(fd, "wb"); }

void close_descriptor(int fd) { close(fd); }

bool cut_to(std::FILE* stream, std::int64_t size) {
  return ftruncate(fileno(stream), static_cast<off_t>(size)) == 0;
}

bool sync_stream(std::FILE* stream) { return fsync(fileno(stream)) == 0; }

// Moved while its lock is held, so that no other save takes it for stale before then.
constexpr bool MOVE_BEFORE_CLOSE = true;

bool move_over(const std::string& from, const std::string& to) {
  return rename(from.c_str(), to.c_str()) == 0;
}

void sync_directory_of(const std::string& path) {
  int fd = open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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

namespace {

void release_lock(ReplacementFile* file) {
  if (file->lock >= 0) close_descriptor(file->lock);
  file->lock = -1;
}

}  // namespace

bool replacement_open(ReplacementFile* file, const char* path, std::int64_t size) {
  const Target target = find_target(path);
  file->path = target.path;
  file->temp_path.clear();
  file->size = size;
  file->over_old_contents = false;
  file->lock = -1;
  if (target.kind == TargetKind::OTHER) {
    file->stream = std::fopen(path, "wb");
    return file->stream != nullptr;
  }
  remove_stale_temps(target);
  int fd = create_temp(target, &file->temp_path, &file->lock);
  if (fd >= 0) {
    file->stream = stream_on(fd);
    if (file->stream != nullptr) return true;
    close_descriptor(fd);
    std::remove(file->temp_path.c_str());
    release_lock(file);
  }
  file->temp_path.clear();
  if (target.kind == TargetKind::MISSING) {
    file->stream = std::fopen(path, "wb");
    return file->stream != nullptr;
  }
  // No temporary file beside an existing one: in place, only with room for all of it.
  fd = open_with_room(target, size);
  if (fd < 0) return false;
  file->stream = stream_on(fd);
  if (file->stream == nullptr) {
    close_descriptor(fd);
    return false;
  }
  file->over_old_contents = true;
  return true;
}

bool replacement_commit(ReplacementFile* file, bool writes_ok) {
  bool ok = writes_ok;
  if (std::fflush(file->stream) != 0 || std::ferror(file->stream)) ok = false;
  if (ok && file->over_old_contents && !cut_to(file->stream, file->size)) ok = false;
  const bool temporary = !file->temp_path.empty();
  if (temporary && ok && !sync_stream(file->stream)) ok = false;
  bool moved = false;
  if (temporary && ok && MOVE_BEFORE_CLOSE) ok = moved = move_over(file->temp_path, file->path);
  if (std::fclose(file->stream) != 0 && !moved) ok = false;
  file->stream = nullptr;
  if (temporary && ok && !moved) ok = moved = move_over(file->temp_path, file->path);
  if (temporary && !moved) std::remove(file->temp_path.c_str());
  release_lock(file);
  if (moved) sync_directory_of(file->path);
  return ok;
}
