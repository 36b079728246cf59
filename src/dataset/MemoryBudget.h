// How much memory a job can count on: what the machine has available and,
// inside a memory cgroup, what the cgroup allows.
#pragma once

#include <atomic>
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

// What the job may count on: its memory limit (--memory, in bytes), or
// when that is 0 what the machine and its cgroup offer.
uint64_t JobMemory(uint64_t limit);

// The memory a job's stores (a whole image a codec takes, a format's
// tiles, a decoder's strips) may take between them: half of what the job
// has beside the process itself, the rest being the page cache's and the
// copy's; of `jobMemory` bytes (JobMemory).
uint64_t StoreMemory(uint64_t jobMemory);
// Whether a store of `bytes` may be plain memory, of `jobMemory` bytes; a
// larger one goes to a scratch file.
bool HeldInMemory(uint64_t bytes, uint64_t jobMemory);

// The words of a refusal for want of memory, e.g. "JPEG output of 12000 x
// 12000 x 3 needs 412 MiB; the job may use 32 MiB" for `what` "JPEG output
// of 12000 x 12000 x 3", of `jobMemory` bytes.
std::string MemoryRefusal(const std::string& what, uint64_t bytes, uint64_t jobMemory);

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
