// What a Linux system leaves the process, read from a made-up tree of its files: MemAvailable,
// cgroup v2 and v1 limits up the hierarchy less the anonymous and shared memory charged there,
// a container's own mount, and nothing at all.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/available_memory.h"
#include "child_process.h"

namespace {

constexpr std::uint64_t MB = std::uint64_t{1} << 20;

class MemoryRoom : public ::testing::Test {
 protected:
  void SetUp() override { root = make_temp_directory(); }
  void TearDown() override { std::filesystem::remove_all(root); }

  void write(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(root + path).parent_path());
    std::ofstream(root + path) << text;
  }
  // A cgroup folder with the given files.
  void group(const std::string& path, const std::string& limit_file, const std::string& limit,
             const std::string& stat) {
    write(path + "/cgroup.procs", "");
    if (!limit_file.empty()) write(path + "/" + limit_file, limit + "\n");
    write(path + "/memory.stat", stat);
  }
  std::string root;
};

// Nothing readable tells nothing; a machine whose cgroup has no limit gives its available memory.
TEST_F(MemoryRoom, MachineAvailableMemoryAlone) {
  EXPECT_EQ(linux_memory_room(root), MEMORY_UNKNOWN);
  write("/proc/meminfo",
        "MemTotal:       24000000 kB\nMemFree:          100000 kB\nMemAvailable:    2000000 kB\n");
  write("/proc/self/cgroup", "0::/\n");
  group("/sys/fs/cgroup", "", "", "anon 1\n");
  write("/sys/fs/cgroup/cgroup.controllers", "memory\n");
  EXPECT_EQ(linux_memory_room(root), std::uint64_t{2000000} * 1024);
}

// The tightest of the limits up the hierarchy counts, each less what is charged in it: the
// session's 900 MB less 300 of anonymous and 100 of shared memory leave 500, below the
// service's 600 MB less 50; the cache of files (file 800 MB) is not counted.
TEST_F(MemoryRoom, UnifiedHierarchyTightestLimitUpTheTree) {
  write("/proc/meminfo", "MemAvailable:   20000000 kB\n");
  write("/proc/self/cgroup", "0::/user.slice/session.scope/run\n");
  write("/sys/fs/cgroup/cgroup.controllers", "memory\n");
  group("/sys/fs/cgroup/user.slice", "memory.max", std::to_string(900 * MB),
        "anon " + std::to_string(300 * MB) + "\nfile " + std::to_string(800 * MB) + "\nshmem " +
            std::to_string(100 * MB) + "\n");
  group("/sys/fs/cgroup/user.slice/session.scope", "memory.max", "max", "anon 0\n");
  group("/sys/fs/cgroup/user.slice/session.scope/run", "memory.max", std::to_string(600 * MB),
        "anon " + std::to_string(50 * MB) + "\n");
  EXPECT_EQ(linux_memory_room(root), 500 * MB);
  // Charged past the limit: nothing left.
  group("/sys/fs/cgroup/user.slice/session.scope/run", "memory.max", std::to_string(600 * MB),
        "anon " + std::to_string(700 * MB) + "\n");
  EXPECT_EQ(linux_memory_room(root), 0u);
}

// cgroup v1's memory controller, beside other controllers on the same line; its "no limit" is a
// number just below 2^63. Hybrid systems mount the unified tree under unified/.
TEST_F(MemoryRoom, MemoryControllerOfVersionOne) {
  write("/proc/meminfo", "MemAvailable:   20000000 kB\n");
  write("/proc/self/cgroup", "5:cpu,cpuacct:/other\n4:memory:/jobs/one\n0::/\n");
  group("/sys/fs/cgroup/memory", "memory.limit_in_bytes", "9223372036854771712",
        "total_rss 999999999999\n");
  group("/sys/fs/cgroup/memory/jobs", "memory.limit_in_bytes", "9223372036854771712", "");
  group("/sys/fs/cgroup/memory/jobs/one", "memory.limit_in_bytes", std::to_string(200 * MB),
        "cache 1\nrss 5\ntotal_cache " + std::to_string(150 * MB) + "\ntotal_rss " +
            std::to_string(80 * MB) + "\ntotal_shmem " + std::to_string(20 * MB) + "\n");
  group("/sys/fs/cgroup/unified", "", "", "");
  EXPECT_EQ(linux_memory_room(root), 100 * MB);
}

// A container sees its host's path in /proc/self/cgroup but has its own cgroup mounted as the
// top: the mount's top is what counts.
TEST_F(MemoryRoom, ContainerOwnCgroupAtTheMountsTop) {
  write("/proc/self/cgroup", "0::/system.slice/docker-0123.scope\n");
  write("/sys/fs/cgroup/cgroup.controllers", "memory\n");
  group("/sys/fs/cgroup", "memory.max", std::to_string(256 * MB),
        "anon " + std::to_string(6 * MB) + "\n");
  EXPECT_EQ(linux_memory_room(root), 250 * MB);
}

}  // namespace
