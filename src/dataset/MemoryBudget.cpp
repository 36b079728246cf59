#include "dataset/MemoryBudget.h"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace mirava {

namespace {

// The process itself: its code, heap, stacks and page tables.
constexpr uint64_t kProcessBytes = 16u << 20;

// The number a limit file holds; UINT64_MAX for "max", an absent file or
// anything else.
uint64_t LimitIn(const std::string& file) {
  std::ifstream in(file);
  std::string word;
  if (!(in >> word) || word.find_first_not_of("0123456789") != std::string::npos) return UINT64_MAX;
  try {
    return std::stoull(word);
  } catch (const std::exception&) {
    return UINT64_MAX;
  }
}

// The tightest limit in `file` of the cgroup at `path` and of those above it.
uint64_t TightestLimit(const std::string& root, std::string path, const std::string& file) {
  uint64_t limit = UINT64_MAX;
  while (true) {
    limit = std::min(limit, LimitIn(root + path + "/" + file));
    if (path.empty() || path == "/") return limit;
    path.erase(path.find_last_of('/'));
  }
}

uint64_t MemAvailable(const std::string& memInfo) {
  std::ifstream in(memInfo);
  std::string key;
  uint64_t kib;
  while (in >> key >> kib) {
    if (key == "MemAvailable:") return kib * 1024;
    in.ignore(256, '\n');
  }
  return UINT64_MAX;
}

}  // namespace

uint64_t MemoryToCountOn(const TMemorySources& sources) {
  uint64_t budget = MemAvailable(sources.MemInfo);
  // Lines read "id:controllers:path": v1 names "memory" among the
  // controllers, v2 has id 0 and no controllers. A hybrid machine mounts v2
  // under "unified".
  std::ifstream in(sources.SelfCgroup);
  std::string line;
  while (std::getline(in, line)) {
    const size_t first = line.find(':'), second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    std::istringstream controllers(line.substr(first + 1, second - first - 1));
    const std::string path = line.substr(second + 1);
    std::string controller;
    bool memory = false;
    while (std::getline(controllers, controller, ',')) memory = memory || controller == "memory";
    if (memory) {
      budget = std::min(
          budget, TightestLimit(sources.CgroupRoot + "/memory", path, "memory.limit_in_bytes"));
    } else if (line.compare(0, 3, "0::") == 0) {
      for (const char* mount : {"", "/unified"})
        budget = std::min(budget, TightestLimit(sources.CgroupRoot + mount, path, "memory.max"));
    }
  }
  return budget;
}

uint64_t JobMemory(uint64_t limit) { return limit ? limit : MemoryToCountOn(); }

uint64_t StoreMemory(uint64_t jobMemory) {
  return jobMemory > kProcessBytes ? (jobMemory - kProcessBytes) / 2 : 0;
}

bool HeldInMemory(uint64_t bytes, uint64_t jobMemory) { return bytes <= StoreMemory(jobMemory); }

std::string MemoryRefusal(const std::string& what, uint64_t bytes, uint64_t jobMemory) {
  constexpr uint64_t kMiB = 1u << 20;
  const uint64_t memory = jobMemory;
  return what + " needs " + std::to_string((bytes + kMiB - 1) / kMiB) + " MiB; the job may use " +
         (memory == UINT64_MAX ? std::string("what the machine has")
                               : std::to_string(memory / kMiB) + " MiB");
}

uint32_t StripeRowsWithin(uint64_t budget, uint64_t rowBytes, uint32_t pageRows, uint32_t tileRows,
                          uint32_t rows) {
  // Beside the stripe: the process itself and the input rows mapped at a
  // time. Of the rest the stripe
  // takes three quarters; the page cache keeps the last quarter for the
  // input read ahead and the output's parts on their way to the disk.
  // Measured in a memory cgroup v1 of 64 MiB, turning 256 MiB: stripes of
  // up to 47 MiB ran (and the larger the faster), 55 MiB was killed; in one
  // of 1 GiB, turning 4 GiB, stripes of 512 and 768 MiB ran alike, 256 MiB
  // took half as long again.
  const uint64_t inFlight = kProcessBytes + uint64_t{tileRows} * rowBytes;
  if (rowBytes == 0 || budget <= inFlight) return 0;
  const uint64_t fit = (budget - inFlight) / 4 * 3 / rowBytes;
  if (fit >= rows) return rows;
  if (fit >= pageRows) return static_cast<uint32_t>(fit / pageRows * pageRows);
  return static_cast<uint32_t>(fit / 16 * 16);
}

uint64_t ReadAheadWithin(uint64_t budget) {
  // Pages read ahead count against a memory cgroup like any other: read
  // further than the page cache's share of the budget, they would be
  // dropped again before they are used, and read twice. The stripe rule
  // leaves that share a quarter; the read-ahead takes half of it.
  constexpr uint64_t kLeast = 128u << 10, kMost = 64u << 20;
  const uint64_t share = budget > kProcessBytes ? (budget - kProcessBytes) / 8 : 0;
  return std::clamp<uint64_t>(share & ~uint64_t{4095}, kLeast, kMost);
}

}  // namespace mirava
