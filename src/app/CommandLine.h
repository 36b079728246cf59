// The job settings a front end collects, and the command line that sets them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mirava {

struct TJobSettings {
  std::string InputFileName;
  std::string OutputFileName;
  int32_t JobKind = 0;
  bool KindGiven = false;  // a switch chose the kind
  bool CommandLineMode = false;
  uint64_t MemoryMiB = 0;  // --memory=MIB; 0: what the machine offers
};

// Up to two file names (input, output) and switches. A switch begins with
// "-", or with "/" when it is exactly two characters long (longer ones are
// absolute paths). F runs the job unattended; the switch's second character
// read as a digit sets the kind, 0 when it is no digit, so the last switch
// decides. Unattended mode needs both names. "--memory=MIB" sets the memory
// the job may count on.
void ParseCommandLine(const std::vector<std::string>& parameters,
                      TJobSettings& settings);

}  // namespace mirava
