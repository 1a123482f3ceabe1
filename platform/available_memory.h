// The memory this process can still make resident: what the machine has available and what the
// limits of the memory cgroups it runs in leave (a container's, a service's, a login session's),
// or on Windows the available physical memory and the limits of the job it belongs to. A route
// whose modelled peak is more than this would be killed by the system part way, so it is not
// taken.
#pragma once

#include <cstdint>
#include <string>

// Nothing tells how much there is: no limit is assumed.
inline constexpr std::uint64_t MEMORY_UNKNOWN = UINT64_MAX;

// Kept free of what can be had: a thirty-second of it and 4 MB, for what the system takes on the
// process's behalf (page tables, thread stacks, buffers) and for what other programs take
// meanwhile. The cache of the file being written is given back under a limit, not counted.
inline constexpr std::uint64_t MEMORY_MARGIN_SHARE = 32;
inline constexpr std::uint64_t MEMORY_MARGIN_BYTES = std::uint64_t{4} << 20;

// The memory the process can still take, the margin deducted (0 when the margin is all there
// is); MEMORY_UNKNOWN when nothing tells.
std::uint64_t memory_available();

// What a Linux system whose files are under `root` ("" for this one) leaves, margin not deducted:
// the smallest of /proc/meminfo's MemAvailable and, for the process's memory cgroup (v2, or v1's
// memory controller, from /proc/self/cgroup) and every one above it that has a limit, the limit
// less the anonymous and shared memory charged there (the cache of files can be given back, so it
// is not counted). MEMORY_UNKNOWN when none of them can be read.
std::uint64_t linux_memory_room(const std::string& root);

// The folder of the process's own memory cgroup on a Linux system under `root` (v1's memory
// controller's where there is one, else the unified hierarchy's); "" when it has none.
std::string memory_cgroup_folder(const std::string& root);
