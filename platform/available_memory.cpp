#include "platform/available_memory.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#if defined(_WIN32)
#include <windows.h>
#include <psapi.h>
#endif

namespace {

// Limits at or above this mean none (cgroup v1 writes "no limit" as 2^63 less a page).
constexpr std::uint64_t NO_LIMIT_FROM = std::uint64_t{1} << 62;

std::uint64_t less(std::uint64_t limit, std::uint64_t used) {
  return limit > used ? limit - used : 0;
}

// The number a file holds, or MEMORY_UNKNOWN when it is missing or holds none ("max").
std::uint64_t number_in(const std::string& path) {
  std::ifstream file(path);
  std::uint64_t value = 0;
  if (!(file >> value)) return MEMORY_UNKNOWN;
  return value;
}

// The value of `key` in a file of "key value" lines (a cgroup's memory.stat; /proc/meminfo with
// "key:"), times `unit`; 0 when it is not there.
std::uint64_t field_in(const std::string& path, const std::string& key, std::uint64_t unit) {
  std::ifstream file(path);
  std::string name;
  std::uint64_t value = 0;
  while (file >> name >> value) {
    if (name == key) return value * unit;
    file.ignore(1 << 10, '\n');
  }
  return 0;
}

bool exists(const std::string& path) { return std::ifstream(path).good(); }

// The cgroup paths of /proc/self/cgroup: the unified (v2) one, and v1's memory controller's.
struct CgroupPaths {
  std::string unified;
  std::string memory;
};

CgroupPaths cgroup_paths(const std::string& root) {
  CgroupPaths paths;
  std::ifstream file(root + "/proc/self/cgroup");
  std::string line;
  while (std::getline(file, line)) {
    const std::size_t first = line.find(':');
    const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const std::string path = line.substr(second + 1);
    if (line.compare(0, first, "0") == 0 && controllers.empty()) paths.unified = path;
    std::stringstream list(controllers);
    std::string controller;
    while (std::getline(list, controller, ',')) {
      if (controller == "memory") paths.memory = path;
    }
  }
  return paths;
}

// Where the unified (v2) hierarchy is mounted: at the top of /sys/fs/cgroup, or beside v1's
// controllers on a hybrid system.
std::string unified_mount(const std::string& root) {
  return exists(root + "/sys/fs/cgroup/cgroup.controllers") ? root + "/sys/fs/cgroup"
                                                            : root + "/sys/fs/cgroup/unified";
}

// The smallest room under a limit from the cgroup at `path` up to the hierarchy's top, mounted at
// `mount`. A path that is not under the mount (a container shows its host's path but mounts its
// own cgroup as the top) counts from the mount's top alone.
template <typename Room>
std::uint64_t room_up_from(const std::string& mount, std::string path, Room room_of) {
  if (!exists(mount + path + "/cgroup.procs")) path = "";
  std::uint64_t room = MEMORY_UNKNOWN;
  for (;;) {
    while (!path.empty() && path.back() == '/') path.pop_back();
    room = std::min(room, room_of(mount + path));
    if (path.empty()) return room;
    path.erase(path.rfind('/') == std::string::npos ? 0 : path.rfind('/'));
  }
}

std::uint64_t unified_room(const std::string& group) {
  const std::uint64_t limit = number_in(group + "/memory.max");
  if (limit >= NO_LIMIT_FROM) return MEMORY_UNKNOWN;
  const std::string stat = group + "/memory.stat";
  return less(limit, field_in(stat, "anon", 1) + field_in(stat, "shmem", 1));
}

std::uint64_t memory_controller_room(const std::string& group) {
  const std::uint64_t limit = number_in(group + "/memory.limit_in_bytes");
  if (limit >= NO_LIMIT_FROM) return MEMORY_UNKNOWN;
  const std::string stat = group + "/memory.stat";
  return less(limit, field_in(stat, "total_rss", 1) + field_in(stat, "total_shmem", 1));
}

#if defined(_WIN32)
// The available physical memory, and what the job's limits on the process's and the job's
// committed memory leave.
std::uint64_t windows_memory_room() {
  std::uint64_t room = MEMORY_UNKNOWN;
  MEMORYSTATUSEX status;
  status.dwLength = sizeof status;
  if (GlobalMemoryStatusEx(&status)) room = status.ullAvailPhys;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION job{};
  if (QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &job, sizeof job,
                                nullptr)) {
    const DWORD flags = job.BasicLimitInformation.LimitFlags;
    if ((flags & JOB_OBJECT_LIMIT_PROCESS_MEMORY) != 0) {
      PROCESS_MEMORY_COUNTERS counters{};
      const std::uint64_t committed =
          GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)
              ? counters.PagefileUsage
              : 0;
      room = std::min(room, less(job.ProcessMemoryLimit, committed));
    }
    if ((flags & JOB_OBJECT_LIMIT_JOB_MEMORY) != 0) {
      room = std::min(room, less(job.JobMemoryLimit, job.PeakJobMemoryUsed));
    }
  }
  return room;
}
#endif

}  // namespace

std::uint64_t linux_memory_room(const std::string& root) {
  std::uint64_t room = MEMORY_UNKNOWN;
  const std::uint64_t available = field_in(root + "/proc/meminfo", "MemAvailable:", 1024);
  if (available > 0) room = available;
  const CgroupPaths paths = cgroup_paths(root);
  if (!paths.unified.empty()) {
    room = std::min(room, room_up_from(unified_mount(root), paths.unified, unified_room));
  }
  if (!paths.memory.empty()) {
    room = std::min(
        room, room_up_from(root + "/sys/fs/cgroup/memory", paths.memory, memory_controller_room));
  }
  return room;
}

std::string memory_cgroup_folder(const std::string& root) {
  const CgroupPaths paths = cgroup_paths(root);
  if (!paths.memory.empty()) return root + "/sys/fs/cgroup/memory" + paths.memory;
  if (!paths.unified.empty()) return unified_mount(root) + paths.unified;
  return "";
}

std::uint64_t memory_available() {
#if defined(_WIN32)
  const std::uint64_t room = windows_memory_room();
#else
  const std::uint64_t room = linux_memory_room("");
#endif
  if (room == MEMORY_UNKNOWN) return room;
  return less(room, room / MEMORY_MARGIN_SHARE + MEMORY_MARGIN_BYTES);
}
