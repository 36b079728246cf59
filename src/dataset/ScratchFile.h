// A file without a name beside an output, for data on its way there: it
// goes when it is closed, whatever ended the job.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "raster/Error.h"

namespace mirava {

class TScratchFile {
 public:
  TScratchFile() = default;
  ~TScratchFile();
  TScratchFile(const TScratchFile&) = delete;
  TScratchFile& operator=(const TScratchFile&) = delete;

  // Creates it in `directory` ("" the current one) with `size` bytes of the
  // disk reserved; false where that cannot be (no space, no such files).
  bool Create(const std::string& directory, uint64_t size);
  // data[0 .. length) at `position`, handed to the disk at once; 0 or the
  // errno of the failure.
  int Write(const uint8_t* data, uint64_t length, uint64_t position);
  // data[0 .. length) from `position`, then left out of the page cache; 0
  // or the errno of the failure (EIO for a file cut short).
  int Read(uint8_t* data, uint64_t length, uint64_t position);
  int Descriptor() const { return Fd; }

 private:
  friend class TScratchMemory;
  int Fd = -1;
};

// Where scratch files of a job go: beside an output, on the disk that is to
// hold it anyway; for an input, in $TMPDIR (else /tmp).
std::string ScratchDirectoryBeside(const std::string& outputName);
std::string TemporaryDirectory();

// Zeroed memory for a store that lives as long as a job (a whole image a
// codec encodes at the end, a format's tiles): anonymous pages, or the
// pages of a scratch file (reserved on the disk, so that no page written
// through the mapping can fail) that the kernel writes out and reads back
// as memory runs short. Pages never touched cost nothing either way.
class TScratchMemory {
 public:
  TScratchMemory() = default;
  ~TScratchMemory() { Release(); }
  TScratchMemory(TScratchMemory&& other) noexcept { *this = std::move(other); }
  TScratchMemory& operator=(TScratchMemory&& other) noexcept;

  // `size` bytes, in memory or (`directory` not empty) in a scratch file
  // there; the system's refusal otherwise.
  TError Allocate(uint64_t size, const std::string& directory);
  void Release();
  // Starts writing the pages written so far to a scratch file, so that
  // they are clean, and cheap to give back, by the time memory runs short.
  void WriteBack();
  uint8_t* Data() const { return Base; }
  uint64_t Size() const { return Length; }

 private:
  uint8_t* Base = nullptr;
  uint64_t Length = 0;
  TScratchFile File;
};

}  // namespace mirava
