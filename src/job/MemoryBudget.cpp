#include "job/MemoryBudget.h"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace mirava {

namespace {

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

}  // namespace mirava
