#include "app/CommandLine.h"

#include <algorithm>

#include "text/TextUtils.h"

namespace mirava {

static bool IsSwitch(const std::string& p) {
  return (!p.empty() && p[0] == '-') || (p.size() == 2 && p[0] == '/');
}

void ParseCommandLine(const std::vector<std::string>& parameters,
                      TJobSettings& settings) {
  int names = 0;
  const std::string memory = "--memory=";
  for (const std::string& p : parameters) {
    if (p.compare(0, memory.size(), memory) == 0) {
      settings.MemoryMiB =
          static_cast<uint64_t>(std::max<int64_t>(0, ParseIntDef(p.substr(memory.size()), 0)));
      continue;
    }
    if (IsSwitch(p)) {
      const char c = p.size() > 1 ? p[1] : '\0';
      if (c == 'F' || c == 'f') settings.CommandLineMode = true;
      settings.JobKind = c >= '0' && c <= '9' ? c - '0' : 0;
      settings.KindGiven = true;
      continue;
    }
    if (names == 0) settings.InputFileName = p;
    if (names == 1) settings.OutputFileName = p;
    ++names;
  }
  if (names < 2) settings.CommandLineMode = false;
}

}  // namespace mirava
