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

// The input rows of `rowBytes` bytes that one stripe of a quarter turn may
// hold within `budget` bytes, of `rows` in all: whole pages of every output
// row's part (`pageRows` rows) where that fits, else a multiple of 16 rows;
// 0 when not even 16 fit. `tileRows` input rows are mapped at a time.
uint32_t StripeRowsWithin(uint64_t budget, uint64_t rowBytes, uint32_t pageRows, uint32_t tileRows,
                          uint32_t rows);

// How far ahead of its rows a file read once is read, within `budget`
// bytes: an eighth of what the process leaves, in whole pages, between
// 128 KiB (the kernel's own step) and 64 MiB.
uint64_t ReadAheadWithin(uint64_t budget);

}  // namespace mirava
