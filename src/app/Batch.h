// Batch mode of the command line: many jobs planned and checked as a whole,
// then run a few at a time in this process, each exactly the single job.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "dataset/Encoding.h"

namespace mirava {

struct TBatchEntry {
  std::string InputName;
  std::string OutputName;
  int32_t Kind = 0;
  std::string Origin;  // "line 4" of a list, or the input as given
  int Format = 0;      // -of: the output's format; 0: its extension's
};

struct TBatchSettings {
  std::vector<std::string> InputNames;
  std::string OutputFolder;
  std::string Extension;  // with its dot
  std::string ListName;   // "-": standard input
  int32_t Kind = 0;
  unsigned Jobs = 0;         // 0: the processors this process may use
  uint64_t MemoryMiB = 0;    // --memory=MIB, each job's; 0: a share of the machine's
  uint64_t MemoryLimit = 0;  // each job's in bytes, from MemoryMiB (BatchJobMemory)
  unsigned SliceIndex = 0;
  unsigned SliceCount = 1;
  bool SkipExisting = false;
  bool StopOnError = false;
  bool DropRotation = false;
  bool KeepGround = false;  // --keep-ground, every job's
  // -co KEY=VALUE: every output's, which must all be of a format that
  // takes them.
  std::vector<std::string> CreationOptions;
  std::string ReportName;  // "-": standard output; ".csv" picks CSV
  TEncoding Encoding;      // every job's
  TGdalSwitches Gdal;      // every job's; -q quietens the batch's lines
};

// True when a parameter is one of batch mode's options; any other command
// line is a single job's.
bool IsBatchCommandLine(const std::vector<std::string>& parameters);
// Empty on success, otherwise what is wrong with the command line.
std::string ParseBatchCommandLine(const std::vector<std::string>& parameters,
                                  TBatchSettings& settings);

// The longest line a list may have: two names of PATH_MAX and the kind,
// with room to spare.
constexpr size_t kMaxListLine = 16384;
// The text of the list `name` ("-": standard input), a regular file or a
// pipe whose lines are at most kMaxListLine bytes and hold no NUL. Empty
// on success, otherwise what is wrong, naming the list and the line.
std::string ReadBatchList(const std::string& name, std::string& text);
// The lines of a list: input, output and kind separated by tabs. Each bad
// line adds a message naming it to `errors`.
std::vector<TBatchEntry> ParseBatchList(const std::string& text, std::vector<std::string>& errors);
// Inputs given on the command line: each output is the input's base name
// with the extension, in the output folder.
std::vector<TBatchEntry> EntriesForInputs(const TBatchSettings& settings);
// Everything refused before a job runs: missing or unreadable inputs,
// outputs of no known format, two entries writing one file,
// an output (or `reportName`) that would overwrite an input of the batch.
void CheckBatch(const std::vector<TBatchEntry>& entries, const std::string& reportName,
                std::vector<std::string>& errors);

// A list's outputs go to folders that exist.
void CheckOutputFolders(const std::vector<TBatchEntry>& entries, std::vector<std::string>& errors);

// A batch records each output it completes in a hidden file beside it:
// the kind, and the size and modification time of every input and output
// file. An output is complete when that record matches the files as they are.
std::string CompletionRecordName(const std::string& outputName);
bool OutputComplete(const TBatchEntry& entry);
bool RecordCompletion(const TBatchEntry& entry);

// The memory each of `jobs` jobs at once may count on: `memoryMiB` when
// given, otherwise an equal share of `available`, so that the jobs together
// stay within what one job alone would count on.
uint64_t BatchJobMemory(uint64_t memoryMiB, unsigned jobs, uint64_t available);

// Runs a batch command line to its end; returns the exit status: 0 every
// file done or skipped, 1 any failed, 2 refused before anything ran, 130
// stopped by a signal.
int RunBatchCommandLine(const std::vector<std::string>& parameters);

}  // namespace mirava
