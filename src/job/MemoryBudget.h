// How much memory a job can count on: what the machine has available and,
// inside a memory cgroup, what the cgroup allows.
#pragma once

#include <cstdint>
#include <string>

namespace mirava {

// Where the figures come from; tests point them at files of their own.
struct TMemorySources {
  std::string MemInfo = "/proc/meminfo";
  std::string SelfCgroup = "/proc/self/cgroup";
  std::string CgroupRoot = "/sys/fs/cgroup";
};

// The smaller of MemAvailable and the tightest memory limit on the way from
// the process's cgroup (v1 memory.limit_in_bytes, v2 memory.max) up to the
// root; UINT64_MAX when none of them can be read.
uint64_t MemoryToCountOn(const TMemorySources& sources = {});

}  // namespace mirava
